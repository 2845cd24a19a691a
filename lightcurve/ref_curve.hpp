#pragma once

#include <cstdint>
#include <vector>

#include "common/phot_point.hpp"
#include "common/vec3.hpp"

// Every synthetic lightcurve is computed at this many sample times.
constexpr int32_t reference_samples = 150;

// The reference resampled onto reference_samples equally spaced times; for
// a joint fit, one run of reference_samples per block, block after block.
struct ref_curve {
    std::vector<double> times;
    std::vector<phot_point> photometry;
    std::vector<vec3> sun;
    std::vector<vec3> earth;
    std::vector<int32_t> blocks;  // the file's block of each run; empty for the whole file
};
