#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/phot_point.hpp"
#include "common/vec3.hpp"

// The observations as read, in file order, all lightcurve blocks in one run.
struct obs_set {
    int32_t count = 0;
    std::vector<double> times;           // Julian dates
    std::vector<phot_point> photometry;  // magnitude, sigma 0.01, filter V, block index
    std::vector<vec3> sun;               // body -> sun, ecliptic
    std::vector<vec3> earth;             // body -> earth, ecliptic
};

// One lightcurve block of a set: observations [first, end) of block `block`.
struct block_run {
    std::size_t first;
    std::size_t end;
    int32_t block;
};

// The runs of equal block number in the first `n` observations, in order
// (a selection of blocks reads each block as one run).
inline std::vector<block_run> block_runs(const obs_set& set, std::size_t n)
{
    std::vector<block_run> runs;
    for (std::size_t first = 0; first < n;) {
        std::size_t end = first + 1;
        const int32_t block = set.photometry[first].lc_number;
        while (end < n && set.photometry[end].lc_number == block) ++end;
        runs.push_back({first, end, block});
        first = end;
    }
    return runs;
}
