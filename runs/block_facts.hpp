#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/vec3.hpp"
#include "runs/run_results.hpp"

// What a figure says about one lightcurve block of a run: when it was
// observed, how many points it has and under which geometry.

// Where block b's samples lie in the reference: [first, first + count).
struct sample_span {
    std::size_t first = 0;
    std::size_t count = 0;
};

// The samples of block b of `block_count` in the reference (observed points
// in the chi2 fit, else equal runs of resampled samples).
sample_span block_samples(const ref_curve& ref, int32_t b, int32_t block_count);

// The facts of one block shown in its title.
struct block_facts {
    int32_t block = -1;          // the file's block number (-1: the whole file)
    double jd_mid = 0.0;         // the middle of the block's time, Julian date
    std::size_t points = 0;      // observations of the block
    double phase_angle_deg = 0;  // sun-asteroid-earth angle at the middle sample
    double aspect_deg = 0;       // sub-earth latitude relative to the spin pole
};

// The facts of block b: the observations it holds (the chi2 fit's points,
// else every observation of its block number) and the
// geometry of its middle sample under the run's spin pole.
block_facts facts_of_block(const run_results& run, int32_t b, int32_t block_count);

// A Julian date as a calendar date and time in UTC, "YYYY-MM-DD HH:MM UTC".
std::string utc_date(double jd);

// The rotation phase in [0, 1) at Julian date `t` of the run's spin (its
// period, epoch and initial phase), as the model rotates the body.
double rotation_phase(double t, const run_inputs& in);
