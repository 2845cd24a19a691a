#include "sweep/sweep_records.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

bool parse_fit_mode(const std::string& word, fit_mode& mode)
{
    if (word == "range")
        mode = fit_mode::range;
    else if (word == "offset")
        mode = fit_mode::offset;
    else if (word == "chi2")
        mode = fit_mode::chi2;
    else
        return false;
    return true;
}

const char* fit_mode_name(fit_mode mode)
{
    switch (mode) {
    case fit_mode::offset: return "offset";
    case fit_mode::chi2: return "chi2";
    default: return "range";
    }
}

sweep_args make_sweep_args(std::shared_ptr<const mesh> base, std::shared_ptr<const ref_curve> reference,
                           const sweep_spin& spin, double step, int32_t thread_count)
{
    // Two lobes of equal meshes; one run of samples per block, or observed points.
    assert(base->vertex_count % 2 == 0 && 2 * static_cast<std::size_t>(base->facet_count) == base->facets.size());
    assert(observed_points(*reference) || reference->times.size() < static_cast<std::size_t>(reference_samples) ||
           reference->times.size() % reference_samples == 0);
    sweep_args args;
    args.vertex_count = base->vertex_count;
    args.vertices = base->vertices.data();
    args.step = step;
    args.thread_count = thread_count;
    args.job = shape_job{};
    args.job.vertex_count = base->vertex_count;
    args.job.facet_count = base->facet_count;
    args.job.facets = base->facets.data();
    args.job.sample_count = static_cast<int32_t>(reference->times.size());
    args.job.block_count = reference_blocks(*reference);
    if (observed_points(*reference)) args.job.block_starts = reference->block_starts.data();
    args.job.earth_dirs = reference->earth.data();
    args.job.sun_dirs = reference->sun.data();
    args.job.sample_times = reference->times.data();
    args.job.ref_points = reference->photometry.data();
    args.job.lambda = spin.lambda;
    args.job.beta = spin.beta;
    args.job.phi0 = spin.phi0;
    args.job.t0 = spin.t0;
    args.job.period = spin.period;
    args.mesh_owner = std::move(base);
    args.ref_owner = std::move(reference);
    return args;
}

shape_job one_shape_job(const mesh& base, const std::vector<vec3>& vertices, const double* params,
                        const sample_geometry& at, const sweep_spin& spin)
{
    shape_job job{};
    job.vertex_count = base.vertex_count;
    job.vertices = vertices.data();
    job.shape_number = 1;
    std::copy(params, params + param::count, job.shape_params);
    job.facet_count = base.facet_count;
    job.facets = base.facets.data();
    job.sample_count = at.count;
    job.earth_dirs = at.earth;
    job.sun_dirs = at.sun;
    job.sample_times = at.times;
    job.lambda = spin.lambda;
    job.beta = spin.beta;
    job.phi0 = spin.phi0;
    job.t0 = spin.t0;
    job.period = spin.period;
    job.block_count = 1;
    return job;
}
