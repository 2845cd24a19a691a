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

// Standard normal deviates from a fixed seed, by Box and Muller (the same
// numbers with any standard library).
struct gaussian {
    std::mt19937_64 bits;
    explicit gaussian(uint64_t seed) : bits(seed) {}
    double uniform() { return (static_cast<double>(bits() >> 11) + 0.5) / 9007199254740992.0; }
    double next() { return std::sqrt(-2.0 * std::log(uniform())) * std::cos(two_pi * uniform()); }
};

// A block of n points at random times over `span` periods: a Fourier curve
// of order `order` (every harmonic of amplitude 0.1 / k) plus noise `sigma`.
struct block {
    std::vector<double> t, m;
};

block noisy_curve(int n, int order, double sigma, double span, uint64_t seed)
{
    gaussian g(seed);
    block b;
    for (int i = 0; i < n; ++i) b.t.push_back(2451545.3 + span * period * g.uniform());
    std::sort(b.t.begin(), b.t.end());
    for (double t : b.t) {
        double m = 12.0;
        for (int k = 1; k <= order; ++k)
            m += 0.1 / k * std::cos(two_pi * k * t / period + k) + 0.05 / k * std::sin(two_pi * k * t / period);
        b.m.push_back(m + sigma * g.next());
    }
    return b;
}

// Observed points of the given blocks, numbered from 0.
ref_curve points_of(const std::vector<block>& blocks)
{
    ref_curve ref;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        ref.blocks.push_back(static_cast<int32_t>(b));
        ref.block_starts.push_back(static_cast<int32_t>(ref.times.size()));
        for (std::size_t i = 0; i < blocks[b].t.size(); ++i) {
            ref.times.push_back(blocks[b].t[i]);
            ref.photometry.push_back({blocks[b].m[i], 0.0, 'V', static_cast<int32_t>(b)});
            ref.sun.push_back({1.0, 0.0, 0.0});
            ref.earth.push_back({0.0, 1.0, 0.0});
        }
    }
    ref.block_starts.push_back(static_cast<int32_t>(ref.times.size()));
    return ref;
}

}  // namespace

// The estimate of a sigma from n - p residuals has a relative spread of
// about 1 / sqrt(2 (n - p)): each tolerance is over three times that.
TEST(NoiseEstimate, RecoversTheSigmaAndOrderOfAFourierCurvePlusNoise)
{
    const struct {
        int n, order;
        double sigma, span, tolerance;
        uint64_t seed;
    } cases[] = {
        {200, 2, 0.02, 1.0, 0.16, 1}, {400, 4, 0.005, 2.5, 0.12, 2}, {80, 1, 0.05, 0.9, 0.25, 3},
        {150, 0, 0.01, 1.0, 0.18, 4}, {300, 6, 0.002, 3.0, 0.14, 5},
    };
    for (const auto& c : cases) {
        const block b = noisy_curve(c.n, c.order, c.sigma, c.span, c.seed);
        fourier_scatter fit;
        ASSERT_TRUE(fit_fourier_scatter(b.t.data(), b.m.data(), c.n, period, fit)) << c.seed;
        EXPECT_NEAR(fit.sigma / c.sigma, 1.0, c.tolerance) << "case " << c.seed << ": " << fit.sigma;
        EXPECT_EQ(fit.order, c.order) << "case " << c.seed;
        EXPECT_DOUBLE_EQ(fit.sigma, std::sqrt(fit.rss / (c.n - 2 * fit.order - 1)));
    }
}

TEST(NoiseEstimate, OrdersAreLimitedByThePoints)
{
    // Six points allow K = 0 and 1 only (points > 2 K + 2), so the 3rd-order
    // curve is left with its higher harmonics in the scatter; three points
    // are too few to estimate at all.
    const block six = noisy_curve(6, 3, 0.001, 1.0, 9);
    fourier_scatter fit;
    ASSERT_TRUE(fit_fourier_scatter(six.t.data(), six.m.data(), 6, period, fit));
    EXPECT_LE(fit.order, 1);
    EXPECT_GT(fit.sigma, 0.005);
    EXPECT_FALSE(fit_fourier_scatter(six.t.data(), six.m.data(), 3, period, fit));
    // Four points at one time: only the constant is independent of the rest.
    const std::vector<double> t(4, 2451545.0), m = {1.0, 1.2, 0.9, 1.1};
    ASSERT_TRUE(fit_fourier_scatter(t.data(), m.data(), 4, period, fit));
    EXPECT_EQ(fit.order, 0);
    EXPECT_NEAR(fit.sigma, std::sqrt(0.05 / 3.0), 1e-12);
}

TEST(NoiseEstimate, ShortBlocksTakeTheOthersMedianOrTheDefaultAndNoneFallsBelowTheFloor)
{
    const block a = noisy_curve(200, 2, 0.02, 1.0, 11), c = noisy_curve(200, 2, 0.04, 1.0, 12);
    const block short_one = noisy_curve(3, 1, 0.03, 0.2, 13), flat = {{1, 2, 3, 4, 5}, {2, 2, 2, 2, 2}};
    const struct {
        const char* name;
        std::vector<block> blocks;
        double given;
        std::vector<sigma_source> sources;
        std::vector<bool> floored;
    } cases[] = {
        {"a short block among two estimated",
         {a, short_one, c},
         0.0,
         {sigma_source::estimated, sigma_source::median_of_others, sigma_source::estimated},
         {false, false, false}},
        {"only short blocks",
         {short_one, short_one},
         0.0,
         {sigma_source::fallback, sigma_source::fallback},
         {false, false}},
        {"a flat block floored",
         {flat, short_one},
         0.0,
         {sigma_source::estimated, sigma_source::median_of_others},
         {true, false}},
        {"given, below the floor too",
         {a, short_one},
         0.0005,
         {sigma_source::given, sigma_source::given},
         {false, false}},
    };
    for (const auto& k : cases) {
        const ref_curve points = points_of(k.blocks);
        const std::vector<block_sigma> s = block_sigmas(points, period, k.given);
        ASSERT_EQ(s.size(), k.blocks.size()) << k.name;
        for (std::size_t b = 0; b < s.size(); ++b) {
            EXPECT_EQ(s[b].source, k.sources[b]) << k.name << ", block " << b;
            EXPECT_EQ(s[b].floored, k.floored[b]) << k.name << ", block " << b;
            if (k.given > 0.0) {
                EXPECT_EQ(s[b].sigma, k.given) << k.name;
            }
        }
    }
    const std::vector<block_sigma> median = block_sigmas(points_of({a, short_one, c}), period, 0.0);
    EXPECT_EQ(median[1].sigma, (median[0].sigma + median[2].sigma) / 2.0);
    EXPECT_EQ(block_sigmas(points_of({short_one}), period, 0.0)[0].sigma, default_sigma);
    const std::vector<block_sigma> floored = block_sigmas(points_of({flat, short_one}), period, 0.0);
    EXPECT_EQ(floored[0].sigma, sigma_floor);
    EXPECT_EQ(floored[1].sigma, sigma_floor);  // the median of the floored sigma
    // Applied to the points, block by block.
    ref_curve points = points_of({a, short_one, c});
    apply_block_sigmas(points, median);
    EXPECT_EQ(points.photometry[199].sigma, median[0].sigma);
    EXPECT_EQ(points.photometry[200].sigma, median[1].sigma);
    EXPECT_EQ(points.photometry[203].sigma, median[2].sigma);
}
