#pragma once

#include <cstdint>
#include <vector>

#include "common/phot_point.hpp"
#include "common/vec3.hpp"

// Every synthetic lightcurve is computed at this many sample times.
constexpr int32_t reference_samples = 150;

// The reference resampled onto reference_samples equally spaced times; for
// a joint fit, one run of reference_samples per block, block after block.
// For the chi2 fit, the observed points themselves instead (each with its
// sigma), block after block, and where each block starts.
struct ref_curve {
    std::vector<double> times;
    std::vector<phot_point> photometry;
    std::vector<vec3> sun;
    std::vector<vec3> earth;
    std::vector<int32_t> blocks;  // the file's block of each run; empty for the whole file
    // Observed points only: block b holds points [block_starts[b],
    // block_starts[b + 1]); one entry more than `blocks`. Empty when resampled.
    std::vector<int32_t> block_starts;
};

// Whether the reference holds observed points (the chi2 fit) rather than samples.
inline bool observed_points(const ref_curve& ref)
{
    return !ref.block_starts.empty();
}

// The blocks the fit takes one by one: the observed points' blocks, or the
// runs of samples (the whole file's one run counts as 1).
inline int32_t reference_blocks(const ref_curve& ref)
{
    if (observed_points(ref)) return static_cast<int32_t>(ref.blocks.size());
    const auto runs = static_cast<int32_t>(ref.times.size() / reference_samples);
    return runs > 1 ? runs : 1;
}
