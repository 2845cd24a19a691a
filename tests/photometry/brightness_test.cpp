#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "photometry/brightness.hpp"
#include "support/body_views.hpp"

namespace {

struct sample {
    double brightness, cos_phase, seen_area;
};

sample brightness_of(const std::vector<facet_normal>& n, const std::vector<uint8_t>& bytes, vec3 earth, vec3 sun,
                     photo_params p = {})
{
    sample s{};
    s.brightness = comp_brightness(n.data(), identity, static_cast<int32_t>(n.size()), s.cos_phase, s.seen_area,
                                   bytes.data(), earth, sun, p);
    return s;
}

// A facet of area 1 facing +z.
const std::vector<facet_normal> unit_facet{{0, 0, 1, 2}};

}  // namespace

TEST(Brightness, SingleSquareFacet)
{
    const sample s = brightness_of(unit_facet, {1}, {0, 0, 1}, {0, 0, 1});
    EXPECT_DOUBLE_EQ(s.brightness, 0.046581934563481565);
    EXPECT_EQ(s.seen_area, 1.0);
    EXPECT_EQ(s.cos_phase, 1.0);
}

TEST(Brightness, LengthsOfTheVectorsDoNotMatter)
{
    const std::vector<facet_normal> n{{0.6, 0, 0.8, 2}, {0, 0.6, 0.8, 1}, {0, 0, 1, 3}};
    const std::vector<uint8_t> bytes{5, 9, 200};
    const vec3 e{0.2, 0.1, 0.9}, s{-0.3, 0.3, 0.8};
    const sample a = brightness_of(n, bytes, e, s);
    for (const sample& b : {brightness_of(n, bytes, {2 * e.x, 2 * e.y, 2 * e.z}, s),
                            brightness_of(n, bytes, e, {2 * s.x, 2 * s.y, 2 * s.z})}) {
        EXPECT_EQ(b.brightness, a.brightness);
        EXPECT_EQ(b.cos_phase, a.cos_phase);
        EXPECT_EQ(b.seen_area, a.seen_area);
    }
    EXPECT_GT(a.brightness, 0.0);
}

TEST(Brightness, OnlyLitAndSeenFacetsCount)
{
    // Byte 0, or a nonzero byte on a facet turned from the observer: nothing.
    const std::vector<facet_normal> n{{0, 0, 1, 2}, {0, 0, -1, 2}};
    for (const std::vector<uint8_t>& bytes : {std::vector<uint8_t>{0, 0}, std::vector<uint8_t>{0, 1}}) {
        const sample s = brightness_of(n, bytes, {0, 0, 1}, {0, 0, 1});
        EXPECT_EQ(s.brightness, 0.0);
        EXPECT_EQ(s.seen_area, 0.0);
    }
    EXPECT_EQ(brightness_of({}, {}, {0, 0, 1}, {0, 1, 0}).cos_phase, 0.0);
    double cos_phase, seen_area;
    EXPECT_EQ(comp_brightness(unit_facet.data(), identity, 1, cos_phase, seen_area, nullptr, {0, 0, 1}, {0, 0, 1}, {}),
              0.0);
}

TEST(Brightness, ZeroVectorGivesZeroWithoutNaN)
{
    for (const auto& [e, s] : {std::pair{vec3{0, 0, 0}, vec3{0, 0, 1}}, std::pair{vec3{0, 0, 1}, vec3{0, 0, 0}}}) {
        const sample b = brightness_of(unit_facet, {1}, e, s);
        EXPECT_EQ(b.brightness, 0.0);
        EXPECT_FALSE(std::isnan(b.seen_area));
        EXPECT_FALSE(std::isnan(b.cos_phase));
    }
}

TEST(Brightness, PhaseFunction)
{
    // mu = mu0 = cos 30 degrees at phase angle 60 degrees.
    const double h = std::sqrt(0.75);
    const vec3 e{0.5, 0, h}, s{-0.5, 0, h};
    const sample plain = brightness_of(unit_facet, {1}, e, s);
    photo_params p;
    p.phase_amplitude = 0.5;
    p.phase_width = 10;
    p.phase_slope = 0.01;
    const double expected = (1 + 0.5 * std::exp(-60.0 / 10) + 0.01 * 60) / 1.5;
    EXPECT_NEAR(brightness_of(unit_facet, {1}, e, s, p).brightness / plain.brightness, expected, 1e-13);
    // At phase 0 the factor is 1 for any parameters.
    EXPECT_EQ(brightness_of(unit_facet, {1}, e, e, p).brightness, brightness_of(unit_facet, {1}, e, e).brightness);
}

TEST(Brightness, ParallelVectorsWhoseCosineRoundsAboveOne)
{
    // Search for a direction whose unit vector has a squared length that
    // rounds above 1; about one direction in several does.
    std::mt19937_64 gen(12345);
    const auto coordinate = [&] { return static_cast<double>(gen() >> 11) * 0x1p-53 * 2 - 1; };
    photo_params p;
    p.phase_amplitude = 0.5;
    p.phase_slope = 0.01;
    int found = 0;
    for (int trial = 0; trial < 1000 && found < 5; ++trial) {
        const vec3 v{coordinate(), coordinate(), std::fabs(coordinate())};
        const sample s = brightness_of(unit_facet, {1}, v, v, p);
        if (!(s.cos_phase > 1.0)) continue;
        ++found;
        // The phase angle is taken as 0: a phase factor of exactly 1.
        EXPECT_EQ(s.brightness, brightness_of(unit_facet, {1}, v, v).brightness);
        // Opposite vectors round below -1; nothing is lit, so 0, not NaN.
        const sample opposite = brightness_of(unit_facet, {0}, v, {-v.x, -v.y, -v.z}, p);
        EXPECT_LT(opposite.cos_phase, -1.0);
        EXPECT_EQ(opposite.brightness, 0.0);
    }
    EXPECT_EQ(found, 5);
}
