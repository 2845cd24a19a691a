#include "runs/run_results.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <new>
#include <system_error>

#include "lightcurve/sample_file.hpp"
#include "mesh/base_shape.hpp"
#include "photometry/view_geometry.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/spin.hpp"

namespace {

// `name` inside the run's folder.
std::string in_folder(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder == "." ? name : folder + "/" + name;
}

// Fills the model's brightness of `job` at every sample into `brightness`;
// false with `why`.
bool job_brightness(const shape_job& job, std::vector<double>& brightness, std::string& why)
{
    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    if (!fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) {
        why = outcome.failure.empty() ? "the model could not evaluate the shape" : outcome.failure;
        return false;
    }
    brightness = scratch.brightness;
    return true;
}

// Magnitudes of brightness values, as the sweep computes them.
std::vector<double> magnitudes_of(const std::vector<double>& brightness)
{
    std::vector<double> m(brightness.size());
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = std::log10(brightness[i]) * (-2.5);
    return m;
}

// The rotation curve: the job's shape under sample `k`'s earth and sun,
// at one-degree steps of rotation after that sample's phase.
bool rotation_curve(shape_job job, int32_t k, shape_curves& curves, std::string& why)
{
    std::vector<double> times(rotation_points);
    const std::vector<vec3> earth(rotation_points, job.earth_dirs[k]);
    const std::vector<vec3> sun(rotation_points, job.sun_dirs[k]);
    curves.rotation_deg.resize(rotation_points);
    for (int32_t i = 0; i < rotation_points; ++i) {
        curves.rotation_deg[i] = i;
        times[i] = job.sample_times[k] + job.period * (i / 360.0);
    }
    job.sample_count = rotation_points;
    job.sample_times = times.data();
    job.earth_dirs = earth.data();
    job.sun_dirs = sun.data();
    std::vector<double> brightness;
    if (!job_brightness(job, brightness, why)) return false;
    curves.rotation_mag = magnitudes_of(brightness);
    return true;
}

}  // namespace

bool read_run(const std::string& folder, run_results& run, std::string& why)
{
    run = run_results{};
    run.folder = folder;
    if (!read_manifest(in_folder(folder, manifest_file), run.manifest, why)) return false;
    // The complete table, else the table of a stopped run; a table that is
    // there but is not one of this grid refuses the folder.
    for (const char* name : {"output/main.txt", "output/main.partial.txt"}) {
        std::error_code error;
        if (!std::filesystem::exists(in_folder(folder, name), error)) continue;
        if (!read_summary(in_folder(folder, name), run.manifest.shapes, run.rows, why)) return false;
        run.table_file = name;
        if (!run.rows.empty()) break;
    }
    if (run.rows.empty()) {
        why = "no shapes in " + in_folder(folder, "output/main.txt");
        return false;
    }
    auto reference = std::make_shared<ref_curve>();
    if (!read_sample_file(in_folder(folder, sample_file), *reference, run.observations, why)) return false;
    run.reference = std::move(reference);
    const int32_t n = run.manifest.inputs.subdivisions;
    if (!check_subdivisions(n, why)) {
        why = "the manifest's subdivision count " + std::to_string(n) + " is not between " +
              std::to_string(min_subdivisions) + " and " + std::to_string(max_subdivisions);
        return false;
    }
    run.base = build_base_mesh(n);
    if (!run.base) {
        why = "not enough memory for the base shape";
        return false;
    }
    // Only a run that records its refinement has one: files left by an
    // earlier run of the folder are not this run's.
    if (run.manifest.refinement.starts > 0) {
        refinement_files files;
        if (read_refinement_files(folder, files, run.refinement_problem)) run.refinement = std::move(files);
    }
    // Likewise the spin search's rows.
    if (run.manifest.spin_search.nside > 0 &&
        (!read_spin_rows(folder + "/output/spins.txt", run.spins, run.spins_problem) ||
         !read_searched_spins(folder + "/output/spins.journal", run.searched, run.spins_problem))) {
        run.spins.clear();
        run.searched.clear();
    }
    return true;
}

namespace {

// The block of reference sample `k` (-1 for the whole file's one run).
int32_t block_of_sample(const ref_curve& ref, int32_t k)
{
    if (observed_points(ref)) {
        for (std::size_t b = 0; b + 1 < ref.block_starts.size(); ++b)
            if (k < ref.block_starts[b + 1]) return ref.blocks[b];
        return -1;
    }
    const std::size_t run = static_cast<std::size_t>(k / reference_samples);
    return run < ref.blocks.size() ? ref.blocks[run] : -1;
}

// Where the view of sample `curves.view_sample` stands: its time and block,
// the spin axis and the sun in the earth view, the sun and the earth in the
// body's axes.
void set_view_geometry(const ref_curve& ref, const mat3& body_rot, const mat3& earth_frame, vec3 earth, vec3 sun,
                       shape_curves& curves)
{
    const int32_t k = curves.view_sample;
    curves.view_time = ref.times[static_cast<std::size_t>(k)];
    curves.view_block = block_of_sample(ref, k);
    curves.body_sun = body_direction(body_rot, sun);
    curves.body_earth = body_direction(body_rot, earth);
    curves.view_spin_axis = apply(earth_frame, vec3{0.0, 0.0, 1.0});
    curves.view_sun = apply(earth_frame, curves.body_sun);
}

}  // namespace

bool compute_shape_curves(const run_results& run, int32_t shape, int32_t view_sample, shape_curves& curves,
                          std::string& why)
{
    curves = shape_curves{};
    curves.shape = shape;
    const run_inputs& in = run.manifest.inputs;
    if (!shape_parameters(in.step, shape, curves.params)) {
        why = "the grid of step " + std::to_string(in.step) + " has no shape " + std::to_string(shape);
        return false;
    }
    sweep_args args =
        make_sweep_args(run.base, run.reference,
                        typed_spin(in.lambda_deg, in.beta_deg, in.period_hours, in.t0, in.phi0_deg), in.step, 1);
    shape_job& job = args.job;
    std::vector<vec3> deformed;
    deform_vertices(run.base->vertices, curves.params, deformed);
    job.vertices = deformed.data();
    job.shape_number = shape;
    std::copy(curves.params, curves.params + param::count, job.shape_params);
    if (!parse_fit_mode(in.fit, job.fit)) {
        why = "the manifest's fit \"" + in.fit + "\" is not range, offset or chi2";
        return false;
    }

    std::vector<double> brightness;
    if (!job_brightness(job, brightness, why)) return false;
    curves.magnitudes = magnitudes_of(brightness);
    curves.block_count = job.block_count;
    curves.fits.resize(static_cast<std::size_t>(job.block_count));
    fit_blocks(job, curves.magnitudes.data(), curves.misfit, curves.best_shift, curves.fits.data());
    curves.fitted.resize(curves.magnitudes.size());
    fitted_curve(job, curves.magnitudes.data(), curves.fitted.data());

    curves.view_sample = std::clamp(view_sample, 0, job.sample_count - 1);
    if (!rotation_curve(job, curves.view_sample, curves, why)) return false;

    prepared_shape body;
    shape_outcome outcome;
    if (!prepare_shape(job, body, nullptr, outcome)) {
        why = outcome.failure;
        return false;
    }
    const int32_t k = curves.view_sample;
    const double phi = rotation_angle(job.sample_times[k], job.t0, job.period, job.phi0);
    mat3 body_rot, earth_frame, sun_frame;
    comp_view_matrices(body_rot, earth_frame, sun_frame, job.earth_dirs[k], job.sun_dirs[k], job.lambda, job.beta, phi);
    curves.earth_view =
        view_from_earth(body.vertices.data(), job.facets, body.centres.data(), body.normals.data(), body.facet_count,
                        job.facet_count, body_rot, earth_frame, sun_frame, job.earth_dirs[k], job.sun_dirs[k]);
    for (int axis = 0; axis < 3; ++axis)
        curves.axis_views[axis] =
            view_along_axis(body.vertices.data(), job.facets, body.normals.data(), body.facet_count, axis);
    set_view_geometry(*run.reference, body_rot, earth_frame, job.earth_dirs[k], job.sun_dirs[k], curves);
    return true;
}
