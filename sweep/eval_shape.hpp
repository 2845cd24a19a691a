#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/checked_file.hpp"
#include "common/status_ops.hpp"
#include "common/stop_request.hpp"
#include "photometry/facet_geometry.hpp"
#include "sweep/sweep_records.hpp"

// (x - from_lo) * (to_hi - to_lo) / (from_hi - from_lo) + to_lo, left to right.
double rescale(double x, double from_lo, double from_hi, double to_lo, double to_hi);

// The best cyclic shift of the synthetic magnitudes `m` (rescaled to the
// reference's range) against the reference magnitudes: writes the smallest
// sum of squares to `misfit` and its shift as a fraction of n - 1 to
// `best_shift`. Sample 0 never enters a sum; equal sums keep the smaller
// shift. A magnitude that is not finite makes the misfit NaN.
void fit_cyclic_shift(const double* m, const phot_point* ref, int32_t n, double& misfit, double& best_shift);

// The offset fit: for every cyclic shift s the synthetic magnitudes m[j]
// are compared with ref[(s + j) mod n] after moving them by the mean
// difference; writes the smallest mean squared difference (mag^2) to
// `misfit` and its shift as a fraction of n - 1 to `best_shift`. Every
// sample enters; equal misfits keep the smaller shift; a magnitude that is
// not finite makes the misfit NaN.
void fit_offset(const double* m, const phot_point* ref, int32_t n, double& misfit, double& best_shift);

// The job's fit of magnitudes `m`: each block fitted on its own with the
// job's mode, the shape's misfit the mean of the blocks' misfits and its
// shift the first block's; in the chi2 fit the misfit is the reduced chi2
// of all blocks and the shift 0. Writes each block's fit to `blocks` when
// given.
void fit_blocks(const shape_job& job, const double* m, double& misfit, double& best_shift, block_fit* blocks);

// The synthetic magnitudes `m` placed on the reference as the job's fit
// placed them, block by block: m[j] goes to reference sample (s + j) mod n
// of the block's best shift s, rescaled onto the reference's range (range)
// or moved by the mean difference (offset); in the chi2 fit each point's
// magnitude plus its block's zero point. One value per sample into
// `fitted`; a block without a finite fit gets NaN throughout.
void fitted_curve(const shape_job& job, const double* m, double* fitted);

// "output/%05i.lc.txt" for a shape number.
std::string lightcurve_file_name(int32_t shape_number);

// The rotation angle of a sample at time t, in the fixed order of operations.
double rotation_angle(double t, double t0, double period, double phi0);

// How one shape's evaluation ended, beyond its 1 or 0.
struct shape_outcome {
    bool stopped = false;        // abandoned at a stop request: no failure
    std::string failure;         // what failed and the system's reason
    int64_t file_bytes = 0;      // size of the lightcurve file, when written
    uint64_t file_checksum = 0;  // FNV-1a of its bytes (common/fnv1a.hpp)
    bool out_of_memory = false;  // the failure was an allocation
};

// A shape that ran out of memory: "memory leak" on the status line, and
// "not enough memory to evaluate shape N" as the outcome's failure.
void report_memory_failure(status_ops* ui, shape_outcome& outcome, int32_t shape_number);

// A shape ready for its samples: the offset vertex copy, normals, centres.
struct prepared_shape {
    std::vector<vec3> vertices;
    std::vector<facet_normal> normals;
    std::vector<vec3> centres;
    int32_t facet_count = 0;  // both bodies
};

// Copies the job's vertices, moves body 1 by -x_shift / 2 and body 2 by
// +x_shift / 2, and computes normals and centres. True, or false after
// reporting the failure ("memory leak", or the " comp_normal failed" /
// " comp_facet_center failed" box) and saying why in `outcome`.
bool prepare_shape(const shape_job& job, prepared_shape& shape, status_ops* ui, shape_outcome& outcome);

// The brightness of a prepared shape at each of the job's samples, the
// straightforward way. False when a sample's visibility buffers could not
// be obtained (outcome.failure) or a stop was requested (outcome.stopped).
bool sample_brightness(const shape_job& job, const prepared_shape& shape, double* brightness, status_ops* ui,
                       shape_outcome& outcome, const stop_request& stop);

// Turns the brightness into magnitudes and fits them, then writes the
// shape's lightcurve lines to `out` (opened, and closed here; with
// job.no_curves nothing is written and `out` is left alone), checking every
// write: "time brightness", or in the chi2 fit "time magnitude" of the model
// plus its block's zero point; then writes the shape's row and block fits. Returns 1, or 0 when the file could not be
// written whole: then the file is removed, no row is written and
// outcome.failure says why.
int finish_shape(const shape_job& job, const double* brightness, double* magnitudes, checked_file& out,
                 shape_result* table, shape_outcome& outcome);

// Evaluates one shape the straightforward way: offsets the bodies, computes
// its lightcurve at every sample, writes "output/%05i.lc.txt" and, on
// success, row shape_number - 1 of `table`. Returns 1 on success, 0 on
// failure or stop (no row written, no file left; `outcome` says which).
int eval_shape(shape_job job, shape_result* table, status_ops* ui, shape_outcome& outcome,
               const stop_request& stop = {});
