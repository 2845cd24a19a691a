#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"

// The file in which a sweep keeps what it fitted: every reference sample
// with its block, time, magnitude and earth and sun vectors, and the
// observations behind them, so that a run folder can be plotted and its
// shapes rendered exactly without the observation file.
constexpr const char* sample_file = "output/samples.txt";

// Writes the reference and the observations, every number to 17 digits
// (read back bit for bit), through a temporary file renamed into place:
// "sample" lines, then "observation" lines; for the chi2 fit's reference of
// observed points only "point block time magnitude sigma earth sun" lines
// (the points are the observations). False with `why` when it could not be
// written whole.
bool write_sample_file(const std::string& path, const ref_curve& reference, const obs_set& observations,
                       std::string& why);

// The most sample and observation lines a sample file may hold together.
constexpr std::size_t max_sample_file_lines = INT32_MAX;

// Reads a sample file back; false with `why` ("PATH:LINE: what is wrong",
// or "PATH: ...") when it is missing, cannot be read or is malformed: a
// line that is not a sample or observation line, a block that is not a
// whole number from 0, a time, magnitude or direction that is not finite (a
// direction of zero), or samples that are not whole runs of
// reference_samples, each of one block with increasing times (as
// check_reference wants them). A file of points (the chi2 fit's) gives them
// as the reference and as the observations, refused when mixed with sample
// or observation lines, when a sigma is not above 0 or when
// check_observed_points refuses them. `reference` and `observations` are
// left as they were on a refusal.
bool read_sample_file(const std::string& path, ref_curve& reference, obs_set& observations, std::string& why);
