#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/facet.hpp"
#include "common/mesh.hpp"
#include "common/phot_point.hpp"
#include "common/vec3.hpp"
#include "lightcurve/ref_curve.hpp"

// Indices of the seven shape parameters.
namespace param {
constexpr int x_scale_1 = 0;
constexpr int y_scale_1 = 1;
constexpr int z_scale_1 = 2;
constexpr int x_scale_2 = 3;
constexpr int y_scale_2 = 4;
constexpr int z_scale_2 = 5;
constexpr int x_shift = 6;
constexpr int count = 7;
}  // namespace param

// How the synthetic magnitudes are compared with the reference.
enum class fit_mode : int32_t {
    range,   // rescaled to the reference's range, every cyclic shift
    offset,  // kept as they are, moved by the mean difference at every cyclic shift
    chi2     // at the observed points, weighted by 1/sigma^2, a zero point per block
};

// The fit mode named by `word` ("range", "offset" or "chi2"); false for any other.
bool parse_fit_mode(const std::string& word, fit_mode& mode);

// The name of a fit mode, as parse_fit_mode reads it.
const char* fit_mode_name(fit_mode mode);

// One lightcurve block's own fit of one shape. In the chi2 fit there is no
// shift: `best_shift` holds the block's zero point (mag) and `misfit` its chi2.
struct block_fit {
    double best_shift;
    double misfit;
};

// Everything the evaluation of one shape needs. The arrays are not owned.
struct shape_job {
    int32_t vertex_count;               // both bodies
    const vec3* vertices;               // this shape's deformed vertices (per shape)
    int32_t shape_number;               // 1-based (per shape)
    double shape_params[param::count];  // (per shape)
    int32_t facet_count;                // ONE sphere; facets holds twice as many
    const facet* facets;
    int32_t sample_count;
    const vec3* earth_dirs;
    const vec3* sun_dirs;
    const double* sample_times;
    const phot_point* ref_points;
    double lambda;  // radians
    double beta;    // radians
    double phi0;    // radians
    double t0;      // Julian date
    double period;  // days
    // Joint fits: the samples are block_count blocks of equal length, each
    // fitted on its own (0 counts as 1); each shape's fits go to
    // block_fits[(shape_number - 1) * block_count + b] when that is given.
    int32_t block_count;
    // The chi2 fit: the samples are observed points, block b the points
    // [block_starts[b], block_starts[b + 1]) of any length (null otherwise).
    const int32_t* block_starts;
    fit_mode fit;
    block_fit* block_fits;
    // Runs that want only the table: no lightcurve file per shape.
    bool no_curves;
    // When given, each shape's magnitudes go to curves_out[(shape_number - 1)
    // * sample_count + i] as well.
    double* curves_out;
};

// One row of the result table.
struct shape_result {
    double shape_params[param::count];
    double misfit;
    double best_shift;
};

// The worker's argument. The owners keep the base mesh and the reference
// that the raw pointers refer to alive while the sweep runs.
struct sweep_args {
    int32_t vertex_count = 0;
    const vec3* vertices = nullptr;
    double step = 0.0;
    int32_t thread_count = 0;
    shape_job job{};
    std::shared_ptr<const mesh> mesh_owner;
    std::shared_ptr<const ref_curve> ref_owner;
};

// The spin state as the sweep uses it: radians, Julian date, days.
struct sweep_spin {
    double lambda;
    double beta;
    double phi0;
    double t0;
    double period;
};

// The samples one shape is seen at: count, earth and sun directions, times.
struct sample_geometry {
    int32_t count = 0;
    const vec3* earth = nullptr;
    const vec3* sun = nullptr;
    const double* times = nullptr;
};

// A job for one shape outside a sweep: `params` (x_scale_1 first) deformed
// into `vertices` on `base`, seen at `at` at spin `spin`; shape number 1,
// one block, no reference (the caller adds one for a fit).
shape_job one_shape_job(const mesh& base, const std::vector<vec3>& vertices, const double* params,
                        const sample_geometry& at, const sweep_spin& spin);

// The worker's argument for a sweep over `base` against `reference`: the job
// template zeroed, then filled with everything that is the same for every
// shape; the per-shape fields stay zero for the worker.
sweep_args make_sweep_args(std::shared_ptr<const mesh> base, std::shared_ptr<const ref_curve> reference,
                           const sweep_spin& spin, double step, int32_t thread_count);
