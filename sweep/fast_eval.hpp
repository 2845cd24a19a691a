#pragma once

#include <cstdint>
#include <vector>

#include "common/mat3.hpp"
#include "common/status_ops.hpp"
#include "photometry/fast_visibility.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/sweep_records.hpp"

// What one sample's view does not owe to the shape: the three matrices and
// the unit body-frame directions of the earth and the sun. The same for
// every shape of a sweep, so computed once.
struct sample_view {
    mat3 body_rot;
    visibility_view seen;
};

// The views of every sample of the job's reference and spin state.
std::vector<sample_view> shared_sample_views(const shape_job& job);

// One thread's storage, reused from shape to shape.
struct shape_scratch {
    prepared_shape shape;
    fast_visibility_scratch visibility;
    body_columns columns;  // the shape laid out for the visibility step
    std::vector<double> brightness;
    std::vector<double> magnitudes;
    // When given, every sample's visibility bytes (one per facet) are
    // appended here, sample after sample.
    std::vector<uint8_t>* visibility_log = nullptr;
};

// The base vertices deformed as the grid walk deforms them: y and z of body
// 1 (the first half) times params[1] and [2], x, y and z of body 2 times
// params[3], [4] and [5]; each coordinate is multiplied once, as the walk's
// chain of working copies does.
void deform_vertices(const std::vector<vec3>& base, const double* params, std::vector<vec3>& out);

// The brightness of one shape at every sample, with the shared views and the
// fast visibility step, into scratch.brightness. False on a failure
// (outcome.failure) or a stop request (outcome.stopped).
bool fast_shape_brightness(const shape_job& job, const sample_view* views, shape_scratch& scratch, status_ops* ui,
                           shape_outcome& outcome, const stop_request& stop);

// Evaluates one shape like eval_shape, with the shared views and the fast
// visibility step, into the same file and row. Returns 1, or 0 (no row, no
// file left; `outcome` says why).
int fast_eval_shape(const shape_job& job, const sample_view* views, shape_scratch& scratch, shape_result* table,
                    status_ops* ui, shape_outcome& outcome, const stop_request& stop = {});
