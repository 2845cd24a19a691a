#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

TEST(OffsetFit, KeepsTheAmplitudeAndFindsTheShiftAndZeroPoint)
{
    const auto ref = reference_curve();
    for (int s : {0, 1, 37, 149}) {
        // A shifted copy moved by a zero point fits exactly ...
        std::vector<double> m(samples), stretched(samples);
        for (int j = 0; j < samples; ++j) {
            const double r = ref[static_cast<std::size_t>((j + s) % samples)].magnitude;
            m[static_cast<std::size_t>(j)] = r + 4.0;
            stretched[static_cast<std::size_t>(j)] = 3.0 * r + 4.0;
        }
        double misfit = -1, shift = -1;
        fit_offset(m.data(), ref.data(), samples, misfit, shift);
        EXPECT_NEAR(misfit, 0.0, 1e-20) << "s = " << s;
        EXPECT_DOUBLE_EQ(shift, s / 149.0) << "s = " << s;
        // ... but a stretched one keeps its extra amplitude in the misfit,
        // which the range fit would rescale away: the variance of 2r.
        double mean = 0.0, square = 0.0;
        for (const auto& p : ref) mean += p.magnitude / samples;
        for (const auto& p : ref) square += 4.0 * (p.magnitude - mean) * (p.magnitude - mean) / samples;
        fit_offset(stretched.data(), ref.data(), samples, misfit, shift);
        EXPECT_NEAR(misfit, square, 1e-9) << "s = " << s;
        double range_misfit = -1;
        fit_cyclic_shift(stretched.data(), ref.data(), samples, range_misfit, shift);
        EXPECT_NEAR(range_misfit, 0.0, 1e-20);
    }
    std::vector<double> m(samples, 1.0);
    m[5] = INFINITY;
    double misfit = 0, shift = -1;
    fit_offset(m.data(), ref.data(), samples, misfit, shift);
    EXPECT_TRUE(std::isnan(misfit));
    EXPECT_EQ(shift, 0.0);
}

TEST(BlockFit, OneBlockIsTheSingleFitBitForBitAndSeveralAreTheMean)
{
    const auto one = reference_curve();
    std::vector<phot_point> two(one);
    for (const auto& p : one) two.push_back({p.magnitude * 0.5 - 1.0, 0.01, 'V', 1});
    std::vector<double> m(2 * samples);
    for (int j = 0; j < 2 * samples; ++j) m[static_cast<std::size_t>(j)] = std::cos(j * 0.05) + 0.2 * std::sin(j * 0.4);
    for (fit_mode mode : {fit_mode::range, fit_mode::offset}) {
        shape_job job{};
        job.ref_points = one.data();
        job.sample_count = samples;
        job.fit = mode;
        double single = -1, single_shift = -1, joint = -1, joint_shift = -1;
        (mode == fit_mode::range ? fit_cyclic_shift : fit_offset)(m.data(), one.data(), samples, single, single_shift);
        fit_blocks(job, m.data(), joint, joint_shift, nullptr);
        EXPECT_EQ(std::memcmp(&single, &joint, sizeof single), 0);
        EXPECT_EQ(std::memcmp(&single_shift, &joint_shift, sizeof single), 0);

        job.ref_points = two.data();
        job.sample_count = 2 * samples;
        job.block_count = 2;
        block_fit fits[2];
        fit_blocks(job, m.data(), joint, joint_shift, fits);
        double second = -1, second_shift = -1;
        (mode == fit_mode::range ? fit_cyclic_shift : fit_offset)(m.data() + samples, two.data() + samples, samples,
                                                                  second, second_shift);
        EXPECT_EQ(fits[0].misfit, single);
        EXPECT_EQ(fits[1].misfit, second);
        EXPECT_EQ(fits[1].best_shift, second_shift);
        EXPECT_EQ(joint, (single + second) / 2);
        EXPECT_EQ(joint_shift, single_shift);  // the first block's
    }
}
