#pragma once

#include <cstdint>
#include <vector>

#include "lightcurve/ref_curve.hpp"

// The noise of each lightcurve block, for the chi2 fit when no sigma is
// given: the block's scatter about a smooth curve, a Fourier series in
// time with the rotation period as its fundamental,
//   m(t) = a0 + sum_{k=1..K} (a_k cos(2 pi k t / P) + b_k sin(2 pi k t / P)),
// fitted by least squares for K = 0 .. Kmax and chosen by BIC.

// Blocks of fewer points are too short to estimate.
constexpr int32_t min_estimate_points = 4;
// The highest order tried (and below it, points > 2 K + 2).
constexpr int32_t max_fourier_order = 6;
// The sigma of a block too short to estimate when no block was estimated.
constexpr double default_sigma = 0.01;
// No block's sigma is taken below this (mag).
constexpr double sigma_floor = 0.001;

// The smooth curve fitted to one block.
struct fourier_scatter {
    int32_t order = 0;   // K, chosen by BIC
    double rss = 0.0;    // sum of squared residuals
    double sigma = 0.0;  // sqrt(rss / (n - (2 K + 1)))
};

// Fits the series to the n points (t days, m mag) for K = 0 .. Kmax, Kmax
// the largest K <= max_fourier_order with n > 2 K + 2, and keeps the K of
// least BIC, n ln(RSS / n) + (2 K + 1) ln n (ties: the smaller K). An order
// whose columns are numerically dependent (the block too short in phase
// for it) and every higher one are left out. False when the block has
// fewer than min_estimate_points points or no fit is usable (a number not
// finite).
bool fit_fourier_scatter(const double* t, const double* m, int32_t n, double period_days, fourier_scatter& fit);

// How a block's sigma was obtained.
enum class sigma_source {
    given,             // --sigma, for every point
    estimated,         // the block's own scatter
    median_of_others,  // too short: the median of the estimated blocks
    fallback           // too short, and no block estimated: default_sigma
};

// One block's sigma.
struct block_sigma {
    double sigma = 0.0;  // mag, floored
    sigma_source source = sigma_source::fallback;
    int32_t order = -1;    // the series' K when estimated
    bool floored = false;  // raised to sigma_floor
};

// Each block's sigma for observed points `points` (ref.blocks and
// ref.block_starts as the chi2 fit has them): `given` (> 0) for every
// block, or else estimated per block with fit_fourier_scatter; a block too
// short takes the median of the estimated blocks' sigmas (the mean of the
// middle two for an even count), or default_sigma when none was estimated.
// Every sigma but a given one is raised to sigma_floor at least.
std::vector<block_sigma> block_sigmas(const ref_curve& points, double period_days, double given);

// Sets every point's sigma to its block's.
void apply_block_sigmas(ref_curve& points, const std::vector<block_sigma>& sigmas);
