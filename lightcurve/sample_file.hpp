#pragma once

#include <string>

#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"

// The file in which a sweep keeps what it fitted: every reference sample
// with its block, time, magnitude and earth and sun vectors, and the
// observations behind them, so that a run folder can be plotted and its
// shapes rendered exactly without the observation file.
constexpr const char* sample_file = "output/samples.txt";

// Writes the reference and the observations, every number to 17 digits
// (read back bit for bit), through a temporary file renamed into place.
// False with `why` when it could not be written whole.
bool write_sample_file(const std::string& path, const ref_curve& reference, const obs_set& observations,
                       std::string& why);

// Reads a sample file back; false with `why` ("PATH:LINE: what is wrong")
// when it is missing or malformed.
bool read_sample_file(const std::string& path, ref_curve& reference, obs_set& observations, std::string& why);
