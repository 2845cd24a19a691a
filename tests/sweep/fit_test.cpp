#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "support/scratch_dir.hpp"
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
        for (int j = 0; j < samples; ++j)
            m[static_cast<std::size_t>(j)] = 2.5 * ref[static_cast<std::size_t>((j + s) % samples)].magnitude + 4.0;
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

TEST(Rescale, EndsMapToEndsAndOrderIsKept)
{
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> value(-30.0, 30.0), width(1e-6, 40.0), unit(0.0, 1.0);
    for (int k = 0; k < 200; ++k) {
        const double from_lo = value(rng), from_hi = from_lo + width(rng);
        // Either orientation of the target range, and a flat one.
        const double to_lo = value(rng);
        const double to_hi = k % 10 == 0 ? to_lo : value(rng);
        EXPECT_EQ(rescale(from_lo, from_lo, from_hi, to_lo, to_hi), to_lo) << k;
        // a * b / a need not give b back exactly: a few roundings' worth.
        const double tolerance =
            4 * std::numeric_limits<double>::epsilon() * std::max(std::abs(to_lo), std::abs(to_hi));
        EXPECT_NEAR(rescale(from_hi, from_lo, from_hi, to_lo, to_hi), to_hi, tolerance) << k;
        // Every step is a correctly rounded monotonic operation, so the whole
        // map keeps (or, for a falling target, reverses) the order exactly.
        std::vector<double> xs{from_lo, from_hi};
        for (int i = 0; i < 50; ++i) xs.push_back(from_lo + (from_hi - from_lo) * unit(rng));
        xs.push_back(std::nextafter(from_lo, from_hi));
        xs.push_back(std::nextafter(from_hi, from_lo));
        std::sort(xs.begin(), xs.end());
        const double sense = to_hi >= to_lo ? 1.0 : -1.0;
        for (std::size_t i = 1; i < xs.size(); ++i) {
            const double a = rescale(xs[i - 1], from_lo, from_hi, to_lo, to_hi);
            const double b = rescale(xs[i], from_lo, from_hi, to_lo, to_hi);
            EXPECT_GE(sense * (b - a), 0.0) << k << ": " << xs[i - 1] << " -> " << a << ", " << xs[i] << " -> " << b;
        }
    }
    // Shift indices become fractions of the last index exactly: 0 and 1 at the ends.
    for (int n : {2, 3, 150, 450}) {
        for (int s = 0; s < n; ++s) EXPECT_EQ(rescale(s, 0.0, n - 1.0, 0.0, 1.0), s / (n - 1.0)) << s << " of " << n;
        EXPECT_EQ(rescale(n - 1.0, 0.0, n - 1.0, 0.0, 1.0), 1.0);
    }
}

namespace {

constexpr double turn = 2 * std::numbers::pi;

// a - b as an angle in (-pi, pi].
double angle_between(double a, double b)
{
    double d = std::fmod(a - b, turn);
    if (d > std::numbers::pi) d -= turn;
    if (d <= -std::numbers::pi) d += turn;
    return d;
}

// The spacing of doubles at x.
double ulp(double x)
{
    return std::nextafter(std::abs(x), INFINITY) - std::abs(x);
}

// Times around the epoch, both sides of it, near and far (days).
std::vector<double> times_around(double t0, std::mt19937_64& rng)
{
    std::vector<double> t{t0, t0 - 1e-9, t0 + 1e-9, t0 - 0.5, t0 + 0.5, t0 - 36525.0, t0 + 36525.0};
    std::uniform_real_distribution<double> near(-3.0, 3.0), far(-40000.0, 40000.0);
    for (int i = 0; i < 100; ++i) t.push_back(t0 + near(rng));
    for (int i = 0; i < 100; ++i) t.push_back(t0 + far(rng));
    return t;
}

const double epochs[] = {0.0, 2444502.76914, 2451545.0};
const double periods[] = {0.05, 5.38528201 / 24, 21.9 / 24, 3.0, 400.0};  // days
const double phases[] = {0.0, 0.5 * std::numbers::pi, std::numbers::pi, 6.0};

}  // namespace

TEST(RotationAngle, StaysWithinOneTurnAndStartsAtThePhase)
{
    std::mt19937_64 rng(3);
    for (double t0 : epochs)
        for (double period : periods)
            for (double phi0 : phases) {
                // At the epoch itself the body is at its phase.
                EXPECT_NEAR(rotation_angle(t0, t0, period, phi0), phi0, 2 * ulp(turn + phi0));
                for (double t : times_around(t0, rng)) {
                    const double a = rotation_angle(t, t0, period, phi0);
                    EXPECT_GE(a, 0.0) << "t - t0 = " << t - t0 << ", P = " << period << ", phi0 = " << phi0;
                    EXPECT_LT(a, turn) << "t - t0 = " << t - t0 << ", P = " << period << ", phi0 = " << phi0;
                }
            }
}

TEST(RotationAngle, RepeatsAfterAPeriodAndAdvancesInProportion)
{
    std::mt19937_64 rng(5);
    for (double t0 : epochs)
        for (double period : periods)
            for (double phi0 : phases)
                for (double t : times_around(t0, rng)) {
                    const double a = rotation_angle(t, t0, period, phi0);
                    const double u = std::abs(t - t0) / period + 1.0;  // turns, bounding the phase's size
                    // Adding P to t rounds by half an ulp of t; the division
                    // and the turn arithmetic by a few ulps of u and of 2 pi.
                    const double later = t + period;
                    const double tolerance = turn * (ulp(later) / period + 4 * ulp(u)) + 8 * ulp(2 * turn);
                    EXPECT_NEAR(angle_between(rotation_angle(later, t0, period, phi0), a), 0.0, tolerance)
                        << "t - t0 = " << t - t0 << ", P = " << period;
                    // A fraction of a period turns the body by that fraction of a turn.
                    for (double fraction : {1e-3, 0.1, 0.37}) {
                        const double moved = t + fraction * period;
                        const double dt = moved - t;  // exactly what the times differ by
                        EXPECT_NEAR(angle_between(rotation_angle(moved, t0, period, phi0), a), turn * dt / period,
                                    turn * 4 * ulp(u) + 8 * ulp(2 * turn))
                            << "t - t0 = " << t - t0 << ", P = " << period << ", fraction " << fraction;
                    }
                }
}

// The lightcurve file of a shape is where lightcurve_file_name (which a
// resumed run reads sizes by) says, five digits wide and wider past 99999.
TEST(LightcurveFile, EvalShapeWritesTheNamedFile)
{
    mesh sphere, pair;
    ASSERT_EQ(make_icosahedron(sphere), 1);
    const int32_t facet_count = sphere.facet_count;
    ASSERT_EQ(make_twin_shape(sphere, pair), 1);
    const std::vector<vec3> earth(3, vec3{1.0, 0.2, 0.1}), sun(3, vec3{0.9, 0.3, 0.0});
    const std::vector<double> times{2451545.0, 2451545.1, 2451545.2};
    const std::vector<phot_point> ref{{1.0, 0.01, 'V', 0}, {1.2, 0.01, 'V', 0}, {0.9, 0.01, 'V', 0}};
    shape_job job{};
    job.vertex_count = pair.vertex_count;
    job.vertices = pair.vertices.data();
    job.shape_params[0] = 1.0;
    job.shape_params[param::x_shift] = 1.0;
    job.facet_count = facet_count;
    job.facets = pair.facets.data();
    job.sample_count = 3;
    job.earth_dirs = earth.data();
    job.sun_dirs = sun.data();
    job.sample_times = times.data();
    job.ref_points = ref.data();
    job.period = 0.9;
    job.t0 = 2451545.0;
    job.fit = fit_mode::range;
    std::vector<shape_result> table(123456);
    null_front_end ui;
    for (const auto& [number, name] : {std::pair{12, "output/00012.lc.txt"}, std::pair{99999, "output/99999.lc.txt"},
                                       std::pair{123456, "output/123456.lc.txt"}}) {
        scratch_dir dir;
        std::filesystem::create_directory("output");
        job.shape_number = number;
        shape_outcome outcome;
        ASSERT_EQ(eval_shape(job, table.data(), &ui, outcome), 1) << number << ": " << outcome.failure;
        EXPECT_EQ(read_lines(name).size(), 3u) << name;
        EXPECT_EQ(lightcurve_file_name(number), name);
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator("output")) files += entry.is_regular_file();
        EXPECT_EQ(files, 1u) << name;
    }
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

TEST(Chi2Fit, ZeroPointsAndChi2AsComputedByHand)
{
    // Block 0: o - m = 1, 2, 3 with sigma 1, 1, 2: z = (1 + 2 + 3/4) / (9/4)
    // = 5/3 and chi2 = 4/9 + 1/9 + (1/4)(16/9) = 1. Block 1: one point,
    // matched exactly. Block 2: the model off by 0.3 throughout.
    const std::vector<phot_point> obs = {{1.0, 1.0, 'V', 0},  {2.0, 1.0, 'V', 0},  {3.0, 2.0, 'V', 0},
                                         {2.5, 0.01, 'V', 4}, {1.3, 0.02, 'V', 7}, {1.8, 0.02, 'V', 7},
                                         {0.3, 0.05, 'V', 7}};
    std::vector<double> m = {0.0, 0.0, 0.0, 1.0, 1.0, 1.5, 0.0};
    const int32_t starts[] = {0, 3, 4, 7};
    shape_job job{};
    job.ref_points = obs.data();
    job.sample_count = 7;
    job.block_count = 3;
    job.block_starts = starts;
    job.fit = fit_mode::chi2;
    double misfit = -1.0, shift = -1.0;
    block_fit fits[3];
    fit_blocks(job, m.data(), misfit, shift, fits);
    EXPECT_NEAR(fits[0].best_shift, 5.0 / 3.0, 1e-15);  // the zero point
    EXPECT_NEAR(fits[0].misfit, 1.0, 1e-14);            // the chi2
    EXPECT_EQ(fits[1].best_shift, 1.5);
    EXPECT_EQ(fits[1].misfit, 0.0);
    EXPECT_NEAR(fits[2].best_shift, 0.3, 1e-15);
    EXPECT_NEAR(fits[2].misfit, 0.0, 1e-24);
    EXPECT_EQ(misfit, (fits[0].misfit + fits[1].misfit + fits[2].misfit) / (7 - 3));
    EXPECT_EQ(shift, 0.0);
    std::vector<double> fitted(7);
    fitted_curve(job, m.data(), fitted.data());
    EXPECT_EQ(fitted[3], 2.5);
    // A magnitude that is not finite spoils its block and the total.
    m[5] = INFINITY;
    fit_blocks(job, m.data(), misfit, shift, fits);
    EXPECT_TRUE(std::isnan(misfit) && std::isnan(fits[2].misfit) && fits[0].misfit == fits[0].misfit);
}
