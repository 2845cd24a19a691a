#include "workflow/refine_step.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "inversion/refine_files.hpp"
#include "mesh/base_shape.hpp"
#include "runs/run_manifest.hpp"
#include "runs/summary_table.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// The grid table's rows as models at the run's spin state, scored by their
// misfit (the reduced chi2, as output/main.txt holds it), or false with `why`.
bool grid_rows(const app_state& app, std::vector<scored_point>& rows, std::string& why)
{
    std::vector<summary_row> table;
    if (!read_summary("output/main.txt", count_grid(app.step, INT32_MAX).shapes, table, why)) return false;
    chi2_point at;
    at.phi0_deg = app.spin.phi0_deg;
    at.lambda_deg = app.spin.lambda_deg;
    at.beta_deg = app.spin.beta_deg;
    at.period_hours = app.spin.period_hours;
    rows.clear();
    for (const summary_row& r : table) {
        // The grid's own parameters, not the table's six decimals.
        double params[param::count];
        if (shape_parameters(app.step, r.shape, params)) rows.push_back(grid_model(r.shape, params + 1, r.misfit, at));
    }
    return true;
}

// Writes model `x` as output/best.obj on the base mesh it was evaluated on.
bool write_refined_obj(const mesh& base, const model_point& x, std::string& why)
{
    double params[param::count] = {1.0};
    for (int i = 0; i < model_param::shape_count; ++i) params[i + 1] = x[i];
    return write_shape_obj(base, params, "output/best.obj", why);
}

// Adds the refinement's record to the run's manifest.
bool record_refinement(const refine_settings& s, int subdivisions, const refinement_result& r, std::string& why)
{
    run_manifest m;
    if (!read_manifest(manifest_file, m, why)) return false;
    const refined& best = r.solutions.front();
    m.refinement.starts = s.starts;
    m.refinement.subdivisions = subdivisions;
    m.refinement.spin = s.spin;
    m.refinement.best_chi2 = best.f.chi2;
    m.refinement.reduced_chi2 = best.f.chi2 / r.nu;
    m.refinement.rms_mag = best.f.rms_mag;
    m.refinement.evaluations = r.evaluations;
    return write_manifest(manifest_file, m, why);
}

}  // namespace

bool refine_and_write(app_state& app, const refine_settings& settings, refinement_result& out, std::string& why)
{
    const int subdivisions = settings.subdivisions > 0 ? settings.subdivisions : app.subdivisions;
    auto ev = std::make_shared<chi2_evaluator>();
    if (!app.reference || !ev->prepare(*app.reference, subdivisions, why)) {
        if (why.empty()) why = "no observations loaded";
        return false;
    }
    std::vector<scored_point> rows;
    if (!grid_rows(app, rows, why)) return false;
    refinement_request request;
    request.starts = settings.starts;
    request.spin = settings.spin;
    request.budget = settings.budget;
    request.threads = app.thread_count;
    request.stop = stop_request{&app.cancel, nullptr};
    if (subdivisions == app.subdivisions) request.known = settings.known;
    if (!refine_after_grid(ev, app.spin.t0, rows, subdivisions == app.subdivisions, request, out, why)) return false;

    std::shared_ptr<const mesh> base = subdivisions == app.subdivisions ? app.base : build_base_mesh(subdivisions);
    if (!base) {
        why = "not enough memory for the base shape";
        return false;
    }
    return write_refined("output/refined.txt", out.space, out.solutions, out.nu, why) &&
           write_refined_obj(*base, out.solutions.front().x, why) &&
           write_uncertainty("output/uncertainty.json", out.set, out.has_jackknife ? &out.jackknife : nullptr, why) &&
           record_refinement(settings, subdivisions, out, why);
}
