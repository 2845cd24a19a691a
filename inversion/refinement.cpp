#include "inversion/refinement.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The evaluator's point of model `x` at epoch `t0`.
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

// The jackknife of `best` under `request`, into `out`; false with `why` on a stop.
bool leave_blocks_out(const std::shared_ptr<const chi2_evaluator>& ev, double t0, const model_space& space,
                      const model_point& best, const refine_options& options, int budget, jackknife_result& out,
                      std::string& why)
{
    const int blocks = ev->block_count();
    refine_options each = options;
    each.global = global_method::none;
    each.max_evals = budget;
    const objective_factory leave_out = [&](int b) {
        std::vector<uint8_t> mask(static_cast<std::size_t>(blocks), 1);
        mask[static_cast<std::size_t>(b)] = 0;
        return chi2_objective(ev, t0, std::move(mask));
    };
    return jackknife(space, leave_out, blocks, best, each, out, why);
}

}  // namespace

refine_budget scaled_budget(double effort)
{
    refine_budget b;
    for (int* count : {&b.local, &b.global, &b.hop, &b.range, &b.jackknife})
        *count = std::max(1, static_cast<int>(std::lround(*count * effort)));
    b.range_seeds = std::min(6, std::max(1, static_cast<int>(std::lround(b.range_seeds * effort))));
    return b;
}

objective chi2_objective(std::shared_ptr<const chi2_evaluator> ev, double t0, std::vector<uint8_t> mask)
{
    return [ev = std::move(ev), t0, mask = std::move(mask)](const model_point& x) {
        chi2_evaluation e;
        std::string why;
        fit_value v;
        if (ev->evaluate(point_of(x, t0), e, why, mask)) v = {e.chi2, e.rms};
        return v;
    };
}

scored_point grid_model(int32_t shape, const double* params, double misfit, const chi2_point& at)
{
    scored_point p;
    p.shape = shape;
    for (int i = 0; i < model_param::shape_count; ++i) p.x[i] = params[i];
    p.x[model_param::phi0_deg] = at.phi0_deg;
    p.x[model_param::lambda_deg] = at.lambda_deg;
    p.x[model_param::beta_deg] = at.beta_deg;
    p.x[model_param::period_h] = at.period_hours;
    p.score = misfit;
    return p;
}

bool refine_after_grid(std::shared_ptr<const chi2_evaluator> ev, double t0, const std::vector<scored_point>& rows,
                       bool rows_same_model, const refinement_request& request, refinement_result& out,
                       std::string& why)
{
    out = refinement_result{};
    const auto began = std::chrono::steady_clock::now();
    const std::vector<std::size_t> picked =
        rows.empty() ? std::vector<std::size_t>{}
                     : pick_starts(make_model_space(rows.front().x, request.spin), rows, request.starts);
    if (picked.empty() || !std::isfinite(rows[picked.front()].score)) {
        why = "no grid row has a finite misfit";
        return false;
    }
    out.space = make_model_space(rows[picked.front()].x, request.spin);
    std::vector<scored_point> starts;
    for (std::size_t i : picked) starts.push_back(rows[i]);

    refine_options options;
    options.max_evals = request.budget.local;
    options.global = request.budget.global > 0 ? global_method::hops : global_method::none;
    options.global_evals = request.budget.global;
    options.hop_evals = request.budget.hop;
    options.threads = request.threads;
    options.stop = request.stop;
    // Subplex with a wide first step, and wide kicks: on the faceted
    // model's rough chi2 a simplex that compares values gets further than
    // BOBYQA's quadratic models, which the roughness misleads (measured on
    // synthetic sets: see README, "Refinement after a chi2 sweep").
    options.local = local_method::sbplx;
    options.initial_step = 0.15;
    options.hop_kick = 0.15;
    options.hop_chains = 1;
    const objective f = chi2_objective(ev, t0);
    if (!refine_starts(out.space, f, starts, options, out.solutions, why)) return false;
    for (const refined& s : out.solutions) out.evaluations += s.evaluations;
    out.nu = ev->point_count() - ev->block_count();
    out.times.refine_s = seconds_since(began);

    // The acceptable set from the refined solutions and, when their model
    // is the sweep's, the grid rows (their chi2 is the misfit times nu).
    const auto ranges_began = std::chrono::steady_clock::now();
    std::vector<scored_point> points;
    for (const refined& s : out.solutions) points.push_back({s.start_shape, s.x, s.f.chi2});
    for (const refined& s : out.solutions) points.insert(points.end(), s.visited.begin(), s.visited.end());
    if (rows_same_model)
        for (scored_point p : rows) {
            p.score *= out.nu;
            points.push_back(p);
        }
    points.insert(points.end(), request.known.begin(), request.known.end());
    range_options ranges;
    ranges.max_evals = request.budget.range;
    ranges.step_evals = std::min(ranges.step_evals, request.budget.range);
    ranges.max_seeds = request.budget.range_seeds;
    ranges.threads = request.threads;
    ranges.stop = request.stop;
    if (!explore_acceptable(out.space, f, points, out.nu, ranges, out.set, why)) return false;
    out.times.ranges_s = seconds_since(ranges_began);

    const auto jack_began = std::chrono::steady_clock::now();
    out.has_jackknife = ev->block_count() >= 2;
    if (out.has_jackknife && !leave_blocks_out(ev, t0, out.space, out.solutions.front().x, options,
                                               request.budget.jackknife, out.jackknife, why))
        return false;
    out.times.jackknife_s = seconds_since(jack_began);
    return true;
}
