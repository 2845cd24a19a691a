#include "inversion/uncertainty.hpp"

#include <algorithm>
#include <cmath>

#include "inversion/parallel_tasks.hpp"
#include "inversion/tracked_search.hpp"

namespace {

// The extremes of the acceptable models seen, per parameter, in natural
// values and in unit coordinates.
struct extremes {
    std::array<double, model_param::count> low{}, high{}, unit_low{}, unit_high{};
    int evaluations = 0;
};

// Parameter `p` of `x` as the ranges report it: a periodic one within its window.
double window_value(const model_space& space, const model_point& x, int p)
{
    if (!space.periodic[p]) return x[p];
    return space.lower[p] + (space.upper[p] - space.lower[p]) * unit_value(space, x, p);
}

// Extremes that hold only `x`.
extremes extremes_of(const model_space& space, const model_point& x)
{
    extremes e;
    for (int p = 0; p < model_param::count; ++p) {
        e.low[p] = e.high[p] = window_value(space, x, p);
        e.unit_low[p] = e.unit_high[p] = unit_value(space, x, p);
    }
    return e;
}

// Widens `e` to hold `x` too.
void widen(extremes& e, const model_space& space, const model_point& x)
{
    for (int p = 0; p < model_param::count; ++p) {
        const double v = window_value(space, x, p), u = unit_value(space, x, p);
        e.low[p] = std::min(e.low[p], v);
        e.high[p] = std::max(e.high[p], v);
        e.unit_low[p] = std::min(e.unit_low[p], u);
        e.unit_high[p] = std::max(e.unit_high[p], u);
    }
}

// Widens `e` to hold `other` too.
void widen(extremes& e, const extremes& other)
{
    for (int p = 0; p < model_param::count; ++p) {
        e.low[p] = std::min(e.low[p], other.low[p]);
        e.high[p] = std::max(e.high[p], other.high[p]);
        e.unit_low[p] = std::min(e.unit_low[p], other.unit_low[p]);
        e.unit_high[p] = std::max(e.unit_high[p], other.unit_high[p]);
    }
    e.evaluations += other.evaluations;
}

// The chi2 over the free parameters but one, that one held: the inner
// search of a profile. `u` is the whole unit vector, the held coordinate
// in place.
struct profile_slice {
    tracked_objective* track = nullptr;
    std::size_t held = 0;
    std::vector<double> u;
};

// The slice's objective: the chi2 with the held coordinate put back.
double slice_chi2(unsigned, const double* w, double*, void* data)
{
    profile_slice& s = *static_cast<profile_slice*>(data);
    for (std::size_t k = 0, j = 0; k < s.u.size(); ++k)
        if (k != s.held) s.u[k] = w[j++];
    return s.track->chi2_at(s.u.data());
}

// The coordinates of `u` but `held`.
std::vector<double> all_but(const std::vector<double>& u, std::size_t held)
{
    std::vector<double> w;
    for (std::size_t k = 0; k < u.size(); ++k)
        if (k != held) w.push_back(u[k]);
    return w;
}

// The lowest chi2 over the slice's other coordinates, by a Subplex search
// of at most `evals` calls from `w` (left at its best point).
double slice_minimum(profile_slice& slice, std::vector<double>& w, const std::vector<double>& first,
                     const std::vector<double>& tolerance, int evals)
{
    if (w.empty()) return slice.track->chi2_at(slice.u.data());
    nlopt::opt run(nlopt::LN_SBPLX, static_cast<unsigned>(w.size()));
    run.set_lower_bounds(0.0);
    run.set_upper_bounds(1.0);
    run.set_initial_step(first);
    run.set_xtol_abs(tolerance);
    run.set_maxeval(evals);
    run.set_min_objective(slice_chi2, &slice);
    return minimise_from(run, *slice.track, w);
}

// One search along the threshold's edge: which parameter, which way.
struct edge_search {
    const model_space* space = nullptr;
    int param = 0;
    double sign = 1.0;  // +1 minimises the parameter, -1 maximises it
    double threshold = 0.0;
    tracked_objective* track = nullptr;
};

// The edge search's objective: the parameter, signed.
double signed_param(unsigned, const double* u, double*, void* data)
{
    const edge_search& s = *static_cast<const edge_search*>(data);
    return s.sign * window_value(*s.space, from_unit(*s.space, u), s.param);
}

// The edge search's constraint, <= 0 inside the acceptable set. A model
// without a finite chi2 is far outside, but finitely so, which COBYLA's
// linear models need.
double over_threshold(unsigned, const double* u, double*, void* data)
{
    edge_search& s = *static_cast<edge_search*>(data);
    const double chi2 = s.track->chi2_at(u);
    const double outside = 1e6 * (std::fabs(s.threshold) + 1.0);
    return std::isfinite(chi2) ? std::min(chi2 - s.threshold, outside) : outside;
}

// Moves from `from` along the threshold's edge as far as parameter
// `p` goes (downwards for sign +1, upwards for -1): COBYLA, minimising the
// signed parameter subject to chi2 <= threshold, `evals` calls at most.
// Where the set is smooth, this places its edge precisely.
void follow_edge(const model_space& space, tracked_objective& track, const model_point& from, int p, double sign,
                 double threshold, const range_options& options, int evals)
{
    edge_search s{&space, p, sign, threshold, &track};
    nlopt::opt run(nlopt::LN_COBYLA, static_cast<unsigned>(free_count(space)));
    run.set_lower_bounds(0.0);
    run.set_upper_bounds(1.0);
    run.set_initial_step(unit_steps(space, options.initial_step));
    run.set_xtol_abs(unit_steps(space, options.xtol_abs));
    run.set_maxeval(evals);
    run.set_min_objective(signed_param, &s);
    run.add_inequality_constraint(over_threshold, &s, 0.0);
    minimise_tracked(run, track, to_unit(space, from));
}

// Where the other coordinates go when the held one moves from u[held] to
// `next`: carried on along the floor's last step (from `before` to `u`) in
// proportion, inside the box; where they are when there was no last step.
std::vector<double> carried_on(const std::vector<double>& u, const std::vector<double>& before, std::size_t held,
                               double next)
{
    std::vector<double> w = all_but(u, held);
    if (before.empty()) return w;
    const double scale = (next - u[held]) / (u[held] - before[held]);
    for (std::size_t k = 0, j = 0; k < u.size(); ++k)
        if (k != held) {
            w[j] = std::min(1.0, std::max(0.0, u[k] + (u[k] - before[k]) * scale));
            ++j;
        }
    return w;
}

// Follows unit coordinate `held` from `u` (downwards for sign +1, upwards
// for -1) along the floor of the chi2 valley, as far as the floor stays
// under the threshold: a step in it, then a short Subplex search over the
// other coordinates with it held (options.step_evals calls, from
// carried_on). A step whose search ends under the threshold is taken and
// the next is twice as long; one that does not is halved, down to
// options.xtol_abs; the calls end at options.max_evals in all. This is the
// profile of chi2 in that parameter.
void follow_floor(const model_space& space, tracked_objective& track, std::vector<double> u, std::size_t held,
                  double sign, double threshold, const range_options& options)
{
    const std::vector<double> steps = unit_steps(space, options.initial_step);
    const std::vector<double> smallest = unit_steps(space, options.xtol_abs);
    const std::vector<double> first = all_but(steps, held), tolerance = all_but(smallest, held);
    profile_slice slice{&track, held, u};
    std::vector<double> before;  // the floor's model before u
    double step = 2.0 * steps[held];
    while (track.evaluations + options.step_evals <= options.max_evals && step >= smallest[held] && !track.stopped) {
        const double next = std::min(1.0, std::max(0.0, u[held] - sign * step));
        if (next == u[held]) break;  // at the bound
        slice.u = u;
        slice.u[held] = next;
        std::vector<double> w = carried_on(u, before, held, next);
        if (slice_minimum(slice, w, first, tolerance, options.step_evals) <= threshold) {
            before = u;
            for (std::size_t k = 0, j = 0; k < u.size(); ++k) u[k] = k == held ? next : w[j++];
            step *= 2.0;
        } else {
            step *= 0.5;
        }
    }
}

// Moves from `seed` as far as the acceptable set allows along parameter
// `p` (downwards for sign +1, upwards for -1): options.edge_evals calls of
// follow_edge, then follow_floor from the acceptable model furthest along.
// On a smooth set the edge search places the edge precisely; in a curved,
// rough valley a search that keeps to the threshold's edge stalls
// (COBYLA's linear models of the constraint, or a walk that keeps only
// steps under it), where the floor goes on. The acceptable models it
// evaluated, as extremes.
extremes search_extreme(const model_space& space, const objective& f, const model_point& seed, int p, double sign,
                        double threshold, const range_options& options, bool& stopped)
{
    extremes found = extremes_of(space, seed);
    tracked_objective track;
    track.space = &space;
    track.f = &f;
    track.stop = &options.stop;
    model_point furthest = seed;
    double furthest_along = sign * window_value(space, seed, p);
    track.seen = [&](const model_point& x, const fit_value& v) {
        if (!(std::isfinite(v.chi2) && v.chi2 <= threshold)) return;
        widen(found, space, x);
        if (sign * window_value(space, x, p) < furthest_along) {
            furthest_along = sign * window_value(space, x, p);
            furthest = x;
        }
    };
    follow_edge(space, track, seed, p, sign, threshold, options, std::min(options.edge_evals, options.max_evals));
    const std::vector<int> params = free_params(space);
    const std::size_t held = static_cast<std::size_t>(std::find(params.begin(), params.end(), p) - params.begin());
    if (!track.stopped) follow_floor(space, track, to_unit(space, furthest), held, sign, threshold, options);
    stopped = track.stopped;
    found.evaluations = track.evaluations;
    return found;
}

// The free parameters whose best value or acceptable extremes lie within
// `tolerance` (unit coordinates) of a bound.
std::vector<int> touching_bounds(const model_space& space, const model_point& best, const extremes& e, double tolerance)
{
    std::vector<int> touching;
    for (int p : free_params(space)) {
        const double b = unit_value(space, best, p);
        const double lowest = std::min(b, e.unit_low[p]), highest = std::max(b, e.unit_high[p]);
        if (lowest <= tolerance || highest >= 1.0 - tolerance) touching.push_back(p);
    }
    return touching;
}

}  // namespace

acceptance accept_threshold(double chi2_min, double nu)
{
    acceptance a;
    a.chi2_min = chi2_min;
    a.nu = nu;
    const double reduced = chi2_min / nu;
    a.sigma_inflation = reduced > 1.0 ? std::sqrt(reduced) : 1.0;
    // s^2 (chi2_min / s^2) (1 + sqrt(2 / nu)): the inflation cancels in the original units.
    a.threshold = chi2_min * (1.0 + std::sqrt(2.0 / nu));
    return a;
}

bool explore_acceptable(const model_space& shared, const objective& f, const std::vector<scored_point>& points,
                        double nu, const range_options& options, acceptable_set& out, std::string& why)
{
    out = acceptable_set{};
    if (!(nu > 0.0)) {
        why = "the degrees of freedom must be positive";
        return false;
    }
    const std::vector<std::size_t> best_first = pick_starts(shared, points, 1, 0.0);
    if (best_first.empty() || !std::isfinite(points[best_first[0]].score)) {
        why = "no model with a finite chi2";
        return false;
    }
    const scored_point& best = points[best_first[0]];
    const model_space space = centred_on(shared, best.x);
    out.accept = accept_threshold(best.score, nu);
    out.params = free_params(space);

    // Every given point under the threshold counts; the best of them, apart, seed the searches.
    extremes all = extremes_of(space, best.x);
    std::vector<scored_point> accepted;
    for (const scored_point& q : points)
        if (std::isfinite(q.score) && q.score <= out.accept.threshold) {
            accepted.push_back(q);
            widen(all, space, q.x);
        }
    std::vector<model_point> seeds;
    for (std::size_t i : pick_starts(space, accepted, options.max_seeds, options.seed_distance)) {
        const bool apart = std::all_of(seeds.begin(), seeds.end(), [&](const model_point& s) {
            return shape_distance(space, s, accepted[i].x) >= options.seed_distance;
        });
        if (apart || seeds.empty()) seeds.push_back(accepted[i].x);
    }

    const int per_seed = 2 * static_cast<int>(out.params.size());
    const int tasks = per_seed * static_cast<int>(seeds.size());
    std::vector<extremes> found(static_cast<std::size_t>(tasks));
    std::vector<char> stopped(static_cast<std::size_t>(tasks), 0);
    run_tasks(tasks, options.threads, [&](int task) {
        const model_point& seed = seeds[static_cast<std::size_t>(task / per_seed)];
        const int p = out.params[static_cast<std::size_t>((task % per_seed) / 2)];
        const double sign = task % 2 == 0 ? 1.0 : -1.0;
        bool halted = false;
        found[static_cast<std::size_t>(task)] =
            search_extreme(space, f, seed, p, sign, out.accept.threshold, options, halted);
        stopped[static_cast<std::size_t>(task)] = halted;
    });
    if (std::any_of(stopped.begin(), stopped.end(), [](char s) { return s != 0; })) {
        why = "stopped";
        return false;
    }
    for (const extremes& e : found) widen(all, e);

    for (int p = 0; p < model_param::count; ++p) {
        const double b = window_value(space, best.x, p);
        out.ranges[p] = space.free[p] ? param_range{b, all.low[p], all.high[p]} : param_range{b, b, b};
    }
    out.at_bound = touching_bounds(space, best.x, all, options.bound_tolerance);
    out.evaluations = all.evaluations;
    return true;
}

bool jackknife(const model_space& space, const objective_factory& leave_out, int blocks, const model_point& best,
               const refine_options& options, jackknife_result& out, std::string& why)
{
    out = jackknife_result{};
    if (blocks < 2) {
        why = "a jackknife needs at least two blocks";
        return false;
    }
    // The objectives are made here, one by one; only their calls run in parallel.
    std::vector<objective> objectives;
    for (int b = 0; b < blocks; ++b) objectives.push_back(leave_out(b));
    refine_options one = options;
    one.threads = 1;
    one.global = global_method::none;
    const std::vector<scored_point> start = {scored_point{0, best, 0.0}};
    std::vector<refined> solutions(static_cast<std::size_t>(blocks));
    std::vector<char> stopped(static_cast<std::size_t>(blocks), 0);
    run_tasks(blocks, options.threads, [&](int b) {
        std::vector<refined> r;
        std::string ignored;
        stopped[static_cast<std::size_t>(b)] =
            !refine_starts(space, objectives[static_cast<std::size_t>(b)], start, one, r, ignored);
        if (!r.empty()) {
            solutions[static_cast<std::size_t>(b)] = r.front();
            solutions[static_cast<std::size_t>(b)].start = b;
        }
    });
    if (std::any_of(stopped.begin(), stopped.end(), [](char s) { return s != 0; })) {
        why = "stopped";
        return false;
    }
    out.blocks = blocks;
    out.params = free_params(space);
    const double count = static_cast<double>(blocks);
    for (int p : out.params) {
        double mean = 0.0;
        for (const refined& r : solutions) mean += r.x[p];
        mean /= count;
        double sum = 0.0;
        jackknife_spread& s = out.spread[p];
        s.min = s.max = solutions.front().x[p];
        for (const refined& r : solutions) {
            sum += (r.x[p] - mean) * (r.x[p] - mean);
            s.min = std::min(s.min, r.x[p]);
            s.max = std::max(s.max, r.x[p]);
        }
        s.spread = std::sqrt((count - 1.0) / count * sum);
    }
    out.solutions = std::move(solutions);
    return true;
}
