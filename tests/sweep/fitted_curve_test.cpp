#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "sweep/eval_shape.hpp"

namespace {

// Two blocks of 150 samples: a reference and synthetic magnitudes that
// resemble it shifted, scaled and noisy, so the best shift is not 0.
struct two_blocks {
    std::vector<phot_point> ref;
    std::vector<double> m;
    shape_job job{};

    explicit two_blocks(fit_mode mode)
    {
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, 0.02);
        for (int b = 0; b < 2; ++b)
            for (int i = 0; i < 150; ++i) {
                const double a = 2 * M_PI * i / 150.0;
                ref.push_back({0.3 * std::sin(2 * a + b) + noise(random), 0.01, 'V', b + 4});
                m.push_back(1.7 * std::sin(2 * (a - 0.4) + b) + 3.0 + noise(random));
            }
        job.sample_count = 300;
        job.block_count = 2;
        job.ref_points = ref.data();
        job.fit = mode;
    }
};

TEST(FittedCurve, ResidualsGiveBackEachBlocksMisfit)
{
    for (fit_mode mode : {fit_mode::range, fit_mode::offset}) {
        two_blocks data(mode);
        double misfit, shift;
        block_fit fits[2];
        fit_blocks(data.job, data.m.data(), misfit, shift, fits);
        std::vector<double> fitted(300);
        fitted_curve(data.job, data.m.data(), fitted.data());
        for (int b = 0; b < 2; ++b) {
            const int s = static_cast<int>(std::lround(fits[b].best_shift * 149));
            EXPECT_NE(s, 0) << "the data are built to need a shift";
            double sum = 0.0;
            for (int k = 0; k < 150; ++k) {
                const double d = fitted[b * 150 + k] - data.ref[b * 150 + k].magnitude;
                // The range fit leaves out synthetic sample 0, which lands on s.
                if (mode == fit_mode::offset || k != s) sum += d * d;
            }
            const double expected = mode == fit_mode::offset ? sum / 150 : sum;
            EXPECT_NEAR(expected, fits[b].misfit, 1e-12 * fits[b].misfit) << "block " << b;
        }
    }
}

TEST(FittedCurve, RangeFitSpansTheReferencesRange)
{
    two_blocks data(fit_mode::range);
    std::vector<double> fitted(300);
    fitted_curve(data.job, data.m.data(), fitted.data());
    for (int b = 0; b < 2; ++b) {
        double lo = 1e9, hi = -1e9, r_lo = 1e9, r_hi = -1e9;
        for (int k = b * 150; k < (b + 1) * 150; ++k) {
            lo = std::min(lo, fitted[k]);
            hi = std::max(hi, fitted[k]);
            r_lo = std::min(r_lo, data.ref[k].magnitude);
            r_hi = std::max(r_hi, data.ref[k].magnitude);
        }
        EXPECT_NEAR(lo, r_lo, 1e-12);
        EXPECT_NEAR(hi, r_hi, 1e-12);
    }
}

TEST(FittedCurve, ABlockWithoutAFiniteFitIsNaN)
{
    two_blocks data(fit_mode::offset);
    data.m[160] = INFINITY;  // brightness 0 in block 1
    std::vector<double> fitted(300);
    fitted_curve(data.job, data.m.data(), fitted.data());
    EXPECT_TRUE(std::isfinite(fitted[10]));
    for (int k = 150; k < 300; ++k) EXPECT_TRUE(std::isnan(fitted[k]));
}

}  // namespace
