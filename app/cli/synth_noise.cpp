#include "app/cli/synth_noise.hpp"

#include <cmath>
#include <cstddef>

double open_unit(std::mt19937_64& draws)
{
    return (static_cast<double>(draws() >> 11) + 0.5) * 0x1p-53;
}

double standard_normal(std::mt19937_64& draws)
{
    constexpr double two_pi = 6.283185307179586;
    const double u1 = open_unit(draws);
    const double u2 = open_unit(draws);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(two_pi * u2);
}

double zero_point(std::mt19937_64& draws)
{
    return (2.0 * open_unit(draws) - 1.0) * max_zero_point;
}

void add_noise(std::vector<double>& magnitudes, const std::vector<int32_t>& blocks, double sigma, uint64_t seed)
{
    std::mt19937_64 draws(seed);
    double offset = 0.0;
    for (std::size_t i = 0; i < magnitudes.size(); ++i) {
        if (i == 0 || blocks[i] != blocks[i - 1]) offset = zero_point(draws);
        magnitudes[i] = magnitudes[i] + offset + sigma * standard_normal(draws);
    }
}
