#pragma once

#include <cstdint>
#include <random>
#include <vector>

// The noise `morvane-cli synth --noise` adds, drawn so that a seed gives
// the same numbers with any standard library: std::mt19937_64's output is
// fixed by the standard, and every transform below is written out here
// (std::normal_distribution's algorithm is the library's own choice).

// A uniform number in (0, 1), never 0 or 1: the top 53 bits of one draw,
// plus one half, times 2^-53.
double open_unit(std::mt19937_64& draws);

// A standard normal deviate by the Box-Muller transform from two uniform
// numbers u1, u2 (drawn in that order): sqrt(-2 ln u1) * cos(2 pi u2).
double standard_normal(std::mt19937_64& draws);

// A block's random zero point, uniform in [-max_zero_point, max_zero_point]
// mag: (2 u - 1) * max_zero_point from one uniform number u.
constexpr double max_zero_point = 1.0;
double zero_point(std::mt19937_64& draws);

// Adds relative-photometry noise to `magnitudes`, whose blocks are given
// point by point in `blocks` (runs of equal numbers): for each run in order,
// first its zero point, then one Gaussian deviate of standard deviation
// `sigma` per point, all added to the run's magnitudes. The draws come from
// one std::mt19937_64 seeded with `seed`.
void add_noise(std::vector<double>& magnitudes, const std::vector<int32_t>& blocks, double sigma, uint64_t seed);
