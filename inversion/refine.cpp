#include "inversion/refine.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "inversion/parallel_tasks.hpp"
#include "inversion/tracked_search.hpp"

namespace {

// A score as an order: NaN after every number.
bool score_before(double a, double b)
{
    if (std::isnan(a) != std::isnan(b)) return std::isnan(b);
    return a < b;
}

// The tracked view of `f` for one run.
tracked_objective track_of(const model_space& space, const objective& f, const refine_options& options)
{
    tracked_objective t;
    t.space = &space;
    t.f = &f;
    t.stop = &options.stop;
    return t;
}

// What a run left in `track`, as the solution of start `index`.
refined result_of(const tracked_objective& track, int index, int shape)
{
    refined r;
    r.start = index;
    r.start_shape = shape;
    r.x = track.best_x;
    r.f = track.best_f;
    r.evaluations = track.evaluations;
    return r;
}

// A local search from `start`, restarted from its best model (with a fresh
// first step) while it still improves and calls are left: on a piecewise
// smooth chi2 a method may end at a kink that a larger step gets past.
refined refine_one(const model_space& shared, const objective& f, const scored_point& start, int index,
                   const refine_options& options, bool& stopped)
{
    const model_space space = centred_on(shared, start.x);
    tracked_objective track = track_of(space, f, options);
    std::vector<scored_point> visited;
    track.seen = [&](const model_point& x, const fit_value& v) {
        if (std::isfinite(v.chi2)) visited.push_back({0, x, v.chi2});
    };
    std::vector<double> from = to_unit(space, start.x);
    for (double before = HUGE_VAL; track.evaluations < options.max_evals && !track.stopped;) {
        nlopt::opt run = local_optimiser(space, options.local, options, options.max_evals - track.evaluations);
        run.set_min_objective(tracked_chi2, &track);
        minimise_tracked(run, track, from);
        const double reached = std::isfinite(track.best_f.chi2) ? track.best_f.chi2 : HUGE_VAL;
        if (!(reached < before - options.ftol_rel * std::fabs(reached))) break;
        before = reached;
        from = to_unit(space, track.best_x);
    }
    stopped = track.stopped;
    refined r = result_of(track, index, start.shape);
    r.visited = std::move(visited);
    return r;
}

// The global stage, from the first start; CRS2's result is polished by the
// local method (its calls counted with the stage's).
refined refine_global(const model_space& space, const objective& f, const scored_point& start, int index,
                      const refine_options& options, bool& stopped)
{
    const unsigned n = static_cast<unsigned>(free_count(space));
    tracked_objective track = track_of(space, f, options);
    const bool mlsl = options.global == global_method::mlsl_lds;
    nlopt::opt run(mlsl ? nlopt::GN_MLSL_LDS : nlopt::GN_CRS2_LM, n);
    run.set_lower_bounds(0.0);
    run.set_upper_bounds(1.0);
    run.set_maxeval(options.global_evals);
    if (mlsl) run.set_local_optimizer(local_optimiser(space, options.local, options, options.max_evals));
    run.set_min_objective(tracked_chi2, &track);
    // The generator is this thread's own: seeded here, the stage repeats exactly.
    nlopt::srand(options.global_seed);
    minimise_tracked(run, track, to_unit(space, start.x));
    if (!mlsl && track.any && !track.stopped) {
        nlopt::opt polish = local_optimiser(space, options.local, options, options.max_evals);
        polish.set_min_objective(tracked_chi2, &track);
        minimise_tracked(polish, track, to_unit(space, track.best_x));
    }
    stopped = track.stopped;
    return result_of(track, index, 0);
}

// A standard normal deviate from `bits`, by Box and Muller, so that a
// kick is the same with every standard library.
double normal_deviate(std::mt19937_64& bits)
{
    const double u1 = (static_cast<double>(bits() >> 11) + 0.5) * 0x1p-53;
    const double u2 = static_cast<double>(bits() >> 11) * 0x1p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// Hop `hop` from `from`: a kick of a normal deviate per free parameter (of
// options.hop_kick shape steps; its own generator, seeded by the hop's
// number), clamped into the box, then a local search.
refined hop_once(const model_space& space, const objective& f, const model_point& from, int hop,
                 const refine_options& options, bool& stopped)
{
    std::mt19937_64 bits(static_cast<std::uint64_t>(options.global_seed) * 1000003u + static_cast<std::uint64_t>(hop));
    const std::vector<double> kick = unit_steps(space, options.hop_kick);
    std::vector<double> u = to_unit(space, from);
    for (std::size_t i = 0; i < u.size(); ++i)
        u[i] = std::min(1.0, std::max(0.0, u[i] + kick[i] * normal_deviate(bits)));
    refine_options local = options;
    local.max_evals = options.hop_evals;
    return refine_one(space, f, scored_point{0, from_unit(space, u.data()), 0.0}, 0, local, stopped);
}

// The hop stage: rounds of options.hops_per_round hops from the best model
// so far (`best`, replaced by a round's best when lower) while the
// stage's calls (options.global_evals) last; the hops of a round run in
// parallel, each depending only on its number and the round's start.
refined refine_hops(const model_space& space, const objective& f, const refined& best, int index,
                    const refine_options& options, bool& stopped)
{
    refined at = best;
    at.start = index;
    at.start_shape = 0;
    at.evaluations = 0;
    at.visited.clear();
    stopped = false;
    const int per_round = std::max(1, options.hops_per_round);
    for (int hop = 0; !stopped && at.evaluations + per_round * options.hop_evals <= options.global_evals;
         hop += per_round) {
        std::vector<refined> round(static_cast<std::size_t>(per_round));
        std::vector<char> halted(static_cast<std::size_t>(per_round), 0);
        run_tasks(per_round, options.threads, [&](int i) {
            bool h = false;
            round[static_cast<std::size_t>(i)] = hop_once(space, f, at.x, hop + i, options, h);
            halted[static_cast<std::size_t>(i)] = h;
        });
        stopped = std::any_of(halted.begin(), halted.end(), [](char h) { return h != 0; });
        for (refined& r : round) {
            at.evaluations += r.evaluations;
            at.visited.insert(at.visited.end(), r.visited.begin(), r.visited.end());
            if (refined_before(r, at)) {
                at.x = r.x;
                at.f = r.f;
            }
        }
    }
    return at;
}

}  // namespace

std::vector<std::size_t> pick_starts(const model_space& space, const std::vector<scored_point>& rows, int count,
                                     double min_distance)
{
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!std::isnan(rows[i].score)) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return score_before(rows[a].score, rows[b].score); });
    const std::size_t wanted = static_cast<std::size_t>(std::max(0, count));
    std::vector<std::size_t> picked;
    std::vector<bool> taken(rows.size(), false);
    for (std::size_t i : order) {
        if (picked.size() == wanted) break;
        const bool apart = std::all_of(picked.begin(), picked.end(), [&](std::size_t j) {
            return shape_distance(space, rows[i].x, rows[j].x) >= min_distance;
        });
        if (apart) {
            picked.push_back(i);
            taken[i] = true;
        }
    }
    for (std::size_t i : order) {
        if (picked.size() == wanted) break;
        if (!taken[i]) picked.push_back(i);
    }
    return picked;
}

bool refined_before(const refined& a, const refined& b)
{
    const double fa = std::isfinite(a.f.chi2) ? a.f.chi2 : HUGE_VAL;
    const double fb = std::isfinite(b.f.chi2) ? b.f.chi2 : HUGE_VAL;
    if (fa != fb) return fa < fb;
    return a.start < b.start;
}

bool refine_starts(const model_space& space, const objective& f, const std::vector<scored_point>& starts,
                   const refine_options& options, std::vector<refined>& out, std::string& why)
{
    out.clear();
    if (starts.empty() || free_count(space) < 2) {
        why = starts.empty() ? "no start to refine from" : "fewer than two free parameters";
        return false;
    }
    const int local_count = static_cast<int>(starts.size());
    const bool hops = options.global == global_method::hops;
    const int tasks = local_count + (options.global == global_method::none || hops ? 0 : 1);
    std::vector<refined> results(static_cast<std::size_t>(tasks));
    std::vector<char> stopped(static_cast<std::size_t>(tasks), 0);
    // The global stage, the longest task, is task 0 so that it starts first.
    run_tasks(tasks, options.threads, [&](int task) {
        const bool global = tasks > local_count && task == 0;
        const int index = global ? local_count : task - (tasks - local_count);
        const scored_point& start = starts[global ? 0 : static_cast<std::size_t>(index)];
        bool halted = false;
        results[static_cast<std::size_t>(task)] = global ? refine_global(space, f, start, index, options, halted)
                                                         : refine_one(space, f, start, index, options, halted);
        stopped[static_cast<std::size_t>(task)] = halted;
    });
    if (std::any_of(stopped.begin(), stopped.end(), [](char s) { return s != 0; })) {
        why = "stopped";
        return false;
    }
    std::sort(results.begin(), results.end(), refined_before);
    // The hops start from the best local solutions of distinct regions
    // (options.hop_chains of them at most, the stage's calls shared), once
    // every start has ended.
    if (hops && options.global_evals > 0) {
        std::vector<scored_point> ends;
        for (const refined& r : results) ends.push_back({r.start_shape, r.x, r.f.chi2});
        const std::vector<std::size_t> from = pick_starts(space, ends, std::max(1, options.hop_chains));
        std::vector<std::size_t> chains;
        for (std::size_t i : from)
            if (std::all_of(chains.begin(), chains.end(), [&](std::size_t j) {
                    return shape_distance(space, ends[i].x, ends[j].x) >= default_start_distance;
                }))
                chains.push_back(i);
        refine_options chain = options;
        chain.global_evals = options.global_evals / static_cast<int>(chains.size());
        for (std::size_t c = 0; c < chains.size(); ++c) {
            bool halted = false;
            results.push_back(
                refine_hops(space, f, results[chains[c]], local_count + static_cast<int>(c), chain, halted));
            if (halted) {
                why = "stopped";
                return false;
            }
        }
        std::sort(results.begin(), results.end(), refined_before);
    }
    out = std::move(results);
    return true;
}
