#include "app/cli/refine_command.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "inversion/chi2_evaluator.hpp"
#include "inversion/refine.hpp"
#include "inversion/refine_files.hpp"
#include "inversion/uncertainty.hpp"
#include "mesh/base_shape.hpp"
#include "runs/run_manifest.hpp"
#include "runs/summary_table.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/shape_grid.hpp"
#include "workflow/fields.hpp"

namespace {

// The evaluation budgets, chosen so that a sweep of 8 blocks of 50 points at
// 3 subdivisions and step 0.25 with --refine 10 ends within minutes on two
// threads: objective calls per start, of the global stage, per range search
// and per jackknife block.
constexpr int local_budget = 300;
constexpr int global_budget = 600;
constexpr int range_budget = 60;
constexpr int range_seeds = 2;
constexpr int jackknife_budget = 150;

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The evaluator's point of model `x` at the run's epoch.
chi2_point point_of(const model_point& x, double t0)
{
    chi2_point p;
    for (int i = 0; i < model_param::shape_count; ++i) p.shape[i] = x[i];
    p.lambda_deg = x[model_param::lambda_deg];
    p.beta_deg = x[model_param::beta_deg];
    p.period_hours = x[model_param::period_h];
    p.phi0_deg = x[model_param::phi0_deg];
    p.t0 = t0;
    return p;
}

// The chi2 objective over the blocks `mask` keeps (every block when empty);
// a model the evaluator refuses has no finite chi2.
objective chi2_objective(std::shared_ptr<const chi2_evaluator> ev, double t0, std::vector<uint8_t> mask = {})
{
    return [ev = std::move(ev), t0, mask = std::move(mask)](const model_point& x) {
        chi2_evaluation e;
        std::string why;
        fit_value v;
        if (ev->evaluate(point_of(x, t0), e, why, mask)) v = {e.chi2, e.rms};
        return v;
    };
}

// The grid table's rows as models at the run's spin state, scored by their
// misfit (the reduced chi2), or false with `why`.
bool grid_rows(const app_state& app, std::vector<scored_point>& rows, std::string& why)
{
    std::vector<summary_row> table;
    if (!read_summary("output/main.txt", count_grid(app.step, INT32_MAX).shapes, table, why)) return false;
    rows.clear();
    for (const summary_row& r : table) {
        scored_point p;
        p.shape = r.shape;
        // The grid's own parameters, not the table's six decimals.
        double params[param::count];
        if (!shape_parameters(app.step, r.shape, params)) continue;
        for (int i = 0; i < model_param::shape_count; ++i) p.x[i] = params[i + 1];
        p.x[model_param::phi0_deg] = app.spin.phi0_deg;
        p.x[model_param::lambda_deg] = app.spin.lambda_deg;
        p.x[model_param::beta_deg] = app.spin.beta_deg;
        p.x[model_param::period_h] = app.spin.period_hours;
        p.score = r.misfit;
        rows.push_back(p);
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
bool record_refinement(const refinement_record& r, std::string& why)
{
    run_manifest m;
    if (!read_manifest(manifest_file, m, why)) return false;
    m.refinement = r;
    return write_manifest(manifest_file, m, why);
}

// Prints a failure of the refinement; the exit code.
int failed(const std::string& why)
{
    std::fprintf(stderr, "morvane-cli: refinement failed: %s\n", why.c_str());
    return exit_failed;
}

}  // namespace

void add_refine_options(CLI::App& cli, refine_request& r)
{
    cli.add_option("--refine", r.starts,
                   "chi2 fit: after the sweep, refine the best K grid rows of distinct regions (and a global "
                   "multi-level single-linkage search) in the continuous parameters; writes output/refined.txt, "
                   "the refined best as output/best.obj, the acceptable ranges and the jackknife over the blocks "
                   "in output/uncertainty.json")
        ->type_name("K");
    cli.add_flag("--refine-spin", r.spin, "refine the pole (lambda, beta) and the period too");
    cli.add_option("--refine-subdivisions", r.subdivisions,
                   "subdivision passes of the refinement's model, 1 to 10 (default: the sweep's)")
        ->type_name("N");
}

bool check_refine_request(const CLI::App& cli, const refine_request& r, const field_options& f, int& subdivisions,
                          std::string& why)
{
    const bool asked = cli.count("--refine") > 0;
    if (!asked && (r.spin || !r.subdivisions.empty())) {
        why = "--refine-spin and --refine-subdivisions go with --refine K";
        return false;
    }
    if (!asked) return true;
    if (f.fit != "chi2") {
        why = "--refine is for --fit chi2 only";
        return false;
    }
    if (r.starts < 1) {
        why = "--refine takes the number of starts, 1 or more";
        return false;
    }
    if (!f.shard.empty() || f.until != "sweep") {
        why = "--refine follows a whole sweep: leave out --shard and --until";
        return false;
    }
    const std::string& text = r.subdivisions.empty() ? f.subdivisions : r.subdivisions;
    if (!parse_whole_number(text, subdivisions) || !check_subdivisions(subdivisions, why)) {
        if (why.empty()) why = "the subdivisions must be a whole number from 1 to 10";
        why = "--refine-subdivisions: " + why;
        return false;
    }
    return true;
}

int run_refinement(const refine_request& r, int subdivisions, app_state& app)
{
    const auto began = std::chrono::steady_clock::now();
    std::string why;
    auto ev = std::make_shared<chi2_evaluator>();
    if (!ev->prepare(*app.reference, subdivisions, why)) return failed(why);
    std::vector<scored_point> rows;
    if (!grid_rows(app, rows, why)) return failed(why);
    const std::vector<std::size_t> picked = pick_starts(make_model_space(rows.front().x, r.spin), rows, r.starts);
    if (picked.empty()) return failed("no grid row has a finite misfit");
    const model_space space = make_model_space(rows[picked.front()].x, r.spin);
    std::vector<scored_point> starts;
    for (std::size_t i : picked) starts.push_back(rows[i]);

    const stop_request stop{&app.cancel, nullptr};
    refine_options options;
    options.max_evals = local_budget;
    options.global = global_method::mlsl_lds;
    options.global_evals = global_budget;
    options.threads = app.thread_count;
    options.stop = stop;
    const objective f = chi2_objective(ev, app.spin.t0);
    std::vector<refined> solutions;
    if (!refine_starts(space, f, starts, options, solutions, why)) return failed(why);
    const double refine_s = seconds_since(began);
    const double nu = ev->point_count() - ev->block_count();
    if (!write_refined("output/refined.txt", space, solutions, nu, why)) return failed(why);
    const refined& best = solutions.front();
    std::shared_ptr<const mesh> base = subdivisions == app.subdivisions ? app.base : build_base_mesh(subdivisions);
    if (!base) return failed("not enough memory for the base shape");
    if (!write_refined_obj(*base, best.x, why)) return failed(why);

    // The acceptable set from the refined solutions and, when their model
    // is the sweep's, the grid rows (their chi2 is the misfit times nu).
    auto ranges_began = std::chrono::steady_clock::now();
    std::vector<scored_point> points;
    for (const refined& s : solutions) points.push_back({s.start_shape, s.x, s.f.chi2});
    if (subdivisions == app.subdivisions)
        for (scored_point p : rows) {
            p.score *= nu;
            points.push_back(p);
        }
    range_options ranges;
    ranges.max_evals = range_budget;
    ranges.max_seeds = range_seeds;
    ranges.threads = app.thread_count;
    ranges.stop = stop;
    acceptable_set set;
    if (!explore_acceptable(space, f, points, nu, ranges, set, why)) return failed(why);
    const double ranges_s = seconds_since(ranges_began);

    auto jack_began = std::chrono::steady_clock::now();
    jackknife_result jack;
    const int blocks = ev->block_count();
    if (blocks >= 2) {
        refine_options each = options;
        each.global = global_method::none;
        each.max_evals = jackknife_budget;
        const objective_factory leave_out = [&](int b) {
            std::vector<uint8_t> mask(blocks, 1);
            mask[b] = 0;
            return chi2_objective(ev, app.spin.t0, std::move(mask));
        };
        if (!jackknife(space, leave_out, blocks, best.x, each, jack, why)) return failed(why);
    } else {
        std::printf("jackknife skipped: the fit has only one block\n");
    }
    const double jack_s = seconds_since(jack_began);
    if (!write_uncertainty("output/uncertainty.json", set, blocks >= 2 ? &jack : nullptr, why)) return failed(why);

    refinement_record record;
    record.starts = r.starts;
    record.subdivisions = subdivisions;
    record.spin = r.spin;
    record.best_chi2 = best.f.chi2;
    record.reduced_chi2 = best.f.chi2 / nu;
    record.rms_mag = best.f.rms_mag;
    for (const refined& s : solutions) record.evaluations += s.evaluations;
    if (!record_refinement(record, why)) return failed(why);

    for (int p : set.at_bound)
        std::printf("warning: %s is at the bound of the model space (%g to %g): its acceptable range may reach "
                    "beyond it\n",
                    model_param_name(p), space.lower[p], space.upper[p]);
    std::printf("\nrefined best (from shape %d): y_scale_1 %.6f z_scale_1 %.6f x_scale_2 %.6f y_scale_2 %.6f "
                "z_scale_2 %.6f x_shift %.6f phi0 %.4f",
                best.start_shape, best.x[0], best.x[1], best.x[2], best.x[3], best.x[4], best.x[5],
                best.x[model_param::phi0_deg]);
    if (r.spin)
        std::printf(" lambda %.4f beta %.4f period %.9f h", best.x[model_param::lambda_deg],
                    best.x[model_param::beta_deg], best.x[model_param::period_h]);
    std::printf("\nreduced chi2 %.6g, rms %.6g mag; written to output/best.obj, output/refined.txt and "
                "output/uncertainty.json\n",
                record.reduced_chi2, record.rms_mag);
    std::printf("refinement %.1f s (%lld evaluations), ranges %.1f s (%d), jackknife %.1f s\n", refine_s,
                static_cast<long long>(record.evaluations), ranges_s, set.evaluations, jack_s);
    return exit_complete;
}
