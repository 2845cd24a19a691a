#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sweep/eval_shape.hpp"

namespace {

constexpr int32_t samples = 150;

// A reference with an irregular curve so that only one shift fits.
std::vector<phot_point> reference_curve()
{
    std::vector<phot_point> ref(samples);
    for (int i = 0; i < samples; ++i)
        ref[static_cast<std::size_t>(i)] = {std::sin(i * 0.09) + 0.3 * std::cos(i * 0.31) + 0.001 * i, 0.01, 'V', 0};
    return ref;
}

}  // namespace

TEST(CyclicFit, AffineImageOfAShiftedReferenceFitsExactly)
{
    const auto ref = reference_curve();
    for (int s : {0, 1, 37, 149}) {
        std::vector<double> m(samples);
        for (int j = 0; j < samples; ++j) m[static_cast<std::size_t>(j)] = 2.5 * ref[static_cast<std::size_t>((j + s) % samples)].magnitude + 4.0;
        double misfit = -1, shift = -1;
        fit_cyclic_shift(m.data(), ref.data(), samples, misfit, shift);
        EXPECT_NEAR(misfit, 0.0, 1e-20) << "s = " << s;
        EXPECT_DOUBLE_EQ(shift, s / 149.0) << "s = " << s;
    }
}

TEST(CyclicFit, EqualSumsKeepTheSmallerShift)
{
    // A reference of period 75 fits shifts s and s + 75 equally.
    std::vector<phot_point> ref(samples);
    for (int i = 0; i < samples; ++i) ref[static_cast<std::size_t>(i)] = {static_cast<double>(i % 75), 0.01, 'V', 0};
    std::vector<double> m(samples);
    for (int j = 0; j < samples; ++j) m[static_cast<std::size_t>(j)] = static_cast<double>((j + 10) % 75);
    double misfit, shift;
    fit_cyclic_shift(m.data(), ref.data(), samples, misfit, shift);
    EXPECT_EQ(misfit, 0.0);
    EXPECT_DOUBLE_EQ(shift, 10.0 / 149.0);
}

TEST(CyclicFit, FlatOrInfiniteMagnitudesGiveNaN)
{
    const auto ref = reference_curve();
    std::vector<double> flat(samples, 3.0);
    double misfit, shift;
    fit_cyclic_shift(flat.data(), ref.data(), samples, misfit, shift);
    EXPECT_TRUE(std::isnan(misfit));
    EXPECT_EQ(shift, 0.0);
    // Brightness 0 at any sample, sample 0 included, gives NaN the same way.
    for (int at : {0, 1, 75}) {
        std::vector<double> m(samples);
        for (int j = 0; j < samples; ++j) m[static_cast<std::size_t>(j)] = ref[static_cast<std::size_t>(j)].magnitude;
        m[static_cast<std::size_t>(at)] = INFINITY;
        fit_cyclic_shift(m.data(), ref.data(), samples, misfit, shift);
        EXPECT_TRUE(std::isnan(misfit)) << at;
        EXPECT_EQ(shift, 0.0);
    }
}

TEST(CyclicFit, RescaleAndRotationAngle)
{
    EXPECT_EQ(rescale(149.0, 0.0, 149.0, 0.0, 1.0), 1.0);
    EXPECT_EQ(rescale(5.0, 0.0, 10.0, 2.0, 4.0), 3.0);
    // Negative u: the remainders keep their signs and the angle stays in [0, 2 pi).
    const double phi = rotation_angle(0.25, 1.0, 1.0, 0.0);
    EXPECT_NEAR(phi, 0.25 * 6.283185307179586, 1e-12);
    EXPECT_EQ(lightcurve_file_name(12), "output/00012.lc.txt");
    EXPECT_EQ(lightcurve_file_name(123456), "output/123456.lc.txt");
}
