#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "inversion/noise_estimate.hpp"

namespace {

constexpr double period = 0.3;  // days
constexpr double two_pi = 6.283185307179586;

// n points at random times over `span` periods: a Fourier curve of order
// `order` plus Gaussian noise `sigma` (Box and Muller from a fixed seed,
// the same numbers with any standard library), as one block of points.
ref_curve noisy_block(int n, int order, double sigma, double span, uint64_t seed)
{
    std::mt19937_64 bits(seed);
    const auto uniform = [&] { return (static_cast<double>(bits() >> 11) + 0.5) / 9007199254740992.0; };
    ref_curve ref;
    for (int i = 0; i < n; ++i) ref.times.push_back(2451545.3 + span * period * uniform());
    std::sort(ref.times.begin(), ref.times.end());
    for (double t : ref.times) {
        double m = 12.0 + sigma * std::sqrt(-2.0 * std::log(uniform())) * std::cos(two_pi * uniform());
        for (int k = 1; k <= order; ++k)
            m += 0.1 / k * std::cos(two_pi * k * t / period + k) + 0.05 / k * std::sin(two_pi * k * t / period);
        ref.photometry.push_back({m, 0.0, 'V', 0});
    }
    ref.blocks = {0};
    ref.block_starts = {0, n};
    return ref;
}

// The blocks given one after another, numbered from 0.
ref_curve joined(const std::vector<ref_curve>& blocks)
{
    ref_curve all;
    all.block_starts = {0};
    for (const ref_curve& b : blocks) {
        all.blocks.push_back(static_cast<int32_t>(all.blocks.size()));
        all.times.insert(all.times.end(), b.times.begin(), b.times.end());
        for (phot_point p : b.photometry) all.photometry.push_back({p.magnitude, 0.0, 'V', all.blocks.back()});
        all.block_starts.push_back(static_cast<int32_t>(all.times.size()));
    }
    return all;
}

}  // namespace

// A sigma estimated from n - p residuals spreads by about 1 / sqrt(2 (n -
// p)) of itself: each tolerance is three times that or more.
TEST(NoiseEstimate, RecoversTheSigmaAndOrderOfAFourierCurvePlusNoise)
{
    const struct {
        int n, order;
        double sigma, span, tolerance;
    } cases[] = {{200, 2, 0.02, 1.0, 0.16}, {400, 4, 0.005, 2.5, 0.12}, {80, 1, 0.05, 0.9, 0.25},
                 {150, 0, 0.01, 1.0, 0.18}, {300, 6, 0.002, 3.0, 0.14}, {6, 3, 0.001, 1.0, -1.0}};
    for (uint64_t seed = 0; seed < std::size(cases); ++seed) {
        const auto& c = cases[seed];
        const ref_curve b = noisy_block(c.n, c.order, c.sigma, c.span, seed);
        std::vector<double> m;
        for (const phot_point& p : b.photometry) m.push_back(p.magnitude);
        fourier_scatter fit;
        ASSERT_TRUE(fit_fourier_scatter(b.times.data(), m.data(), c.n, period, fit)) << seed;
        EXPECT_DOUBLE_EQ(fit.sigma, std::sqrt(fit.rss / (c.n - 2 * fit.order - 1)));
        if (c.tolerance < 0.0) {
            // Six points allow K = 0 and 1 only: the higher harmonics stay in the scatter.
            EXPECT_LE(fit.order, 1);
            EXPECT_GT(fit.sigma, 5 * c.sigma);
            EXPECT_FALSE(fit_fourier_scatter(b.times.data(), m.data(), 3, period, fit));
            continue;
        }
        EXPECT_NEAR(fit.sigma / c.sigma, 1.0, c.tolerance) << "case " << seed << ": " << fit.sigma;
        EXPECT_EQ(fit.order, c.order) << "case " << seed;
    }
}

TEST(NoiseEstimate, ShortBlocksTakeTheOthersMedianOrTheDefaultAndNoneFallsBelowTheFloor)
{
    const ref_curve a = noisy_block(200, 2, 0.02, 1.0, 11), c = noisy_block(200, 2, 0.04, 1.0, 12);
    const ref_curve short_one = noisy_block(3, 1, 0.03, 0.2, 13), flat = noisy_block(5, 0, 0.0, 1.0, 14);
    const std::vector<block_sigma> median = block_sigmas(joined({a, short_one, c}), period, 0.0);
    EXPECT_EQ(median[0].source, sigma_source::estimated);
    EXPECT_EQ(median[1].source, sigma_source::median_of_others);
    EXPECT_EQ(median[1].sigma, (median[0].sigma + median[2].sigma) / 2);
    const std::vector<block_sigma> none = block_sigmas(joined({short_one, short_one}), period, 0.0);
    EXPECT_EQ(none[1].source, sigma_source::fallback);
    EXPECT_EQ(none[1].sigma, default_sigma);
    // A noiseless block is floored, and so is the median taken from it.
    const std::vector<block_sigma> floored = block_sigmas(joined({flat, short_one}), period, 0.0);
    EXPECT_TRUE(floored[0].floored);
    EXPECT_EQ(floored[0].sigma, sigma_floor);
    EXPECT_EQ(floored[1].sigma, sigma_floor);
    // A sigma given is every block's, below the floor too.
    for (const block_sigma& s : block_sigmas(joined({a, short_one}), period, 0.0005)) {
        EXPECT_EQ(s.source, sigma_source::given);
        EXPECT_EQ(s.sigma, 0.0005);
    }
    ref_curve points = joined({a, short_one, c});
    apply_block_sigmas(points, median);
    EXPECT_EQ(points.photometry[199].sigma, median[0].sigma);
    EXPECT_EQ(points.photometry[200].sigma, median[1].sigma);
    EXPECT_EQ(points.photometry[203].sigma, median[2].sigma);
}
