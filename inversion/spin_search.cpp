#include "inversion/spin_search.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "inversion/parallel_tasks.hpp"
#include "inversion/refine.hpp"
#include "inversion/refinement.hpp"
#include "sweep/shape_grid.hpp"

namespace {

using shape_params = std::array<double, model_param::shape_count>;

// Collects the shape parameters (y_scale_1 .. x_shift) of every grid shape.
struct shape_collector {
    std::vector<shape_params> shapes;
    bool enter(int, const double*) { return true; }
    bool leave(int) { return true; }
    bool shape(const double* p)
    {
        shapes.push_back({p[1], p[2], p[3], p[4], p[5], p[6]});
        return true;
    }
};

// The grid's shapes at `step`.
std::vector<shape_params> grid_shapes(double step)
{
    shape_collector c;
    walk_grid(step, c);
    return c.shapes;
}

// The distance between two phases in degrees, the short way round.
double phase_distance(double a, double b)
{
    const double d = std::fabs(std::fmod(a - b, 360.0));
    return std::min(d, 360.0 - d);
}

// Up to `count` of the scanned models, best first, each of another region
// than those before it: its phase more than 1.5 scan steps away, or its
// shape at least the usual start distance away.
std::vector<scored_point> distinct_starts(const model_space& space, const std::vector<scored_point>& scanned, int count,
                                          double phase_step)
{
    std::vector<std::size_t> order(scanned.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double x = scanned[a].score, y = scanned[b].score;
        if (std::isnan(y)) return !std::isnan(x);
        return x < y;
    });
    std::vector<scored_point> starts;
    for (std::size_t i : order) {
        if (static_cast<int>(starts.size()) >= count || !std::isfinite(scanned[i].score)) break;
        const scored_point& c = scanned[i];
        const bool apart = std::all_of(starts.begin(), starts.end(), [&](const scored_point& s) {
            return phase_distance(c.x[model_param::phi0_deg], s.x[model_param::phi0_deg]) > 1.5 * phase_step ||
                   shape_distance(space, c.x, s.x) >= default_start_distance;
        });
        if (apart) starts.push_back(c);
    }
    return starts;
}

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Where a spin sits in a search: level, resolution, pixel, period index.
using spin_key = std::tuple<int, int32_t, int64_t, int32_t>;

spin_key key_of(const spin_fit& s)
{
    return {s.level, s.at.nside, s.at.pixel, s.period_index};
}

// Fits every spin of `level` in place over the request's threads, taking
// those the request has done; false when a stop was requested.
bool fit_level(std::vector<spin_fit>& level, const std::shared_ptr<const chi2_evaluator>& ev, double t0,
               const spin_fit_settings& s, const spin_search_request& request)
{
    std::map<spin_key, const spin_fit*> done;
    for (const spin_fit& d : request.done) done[key_of(d)] = &d;
    std::mutex reporting;
    run_tasks(static_cast<int>(level.size()), request.threads, [&](int i) {
        spin_fit& spin = level[static_cast<std::size_t>(i)];
        if (const auto found = done.find(key_of(spin)); found != done.end()) {
            spin = *found->second;
            return;
        }
        if (request.stop.requested() || (request.mine && !request.mine(static_cast<std::size_t>(i)))) return;
        const int l = spin.level;
        spin = fit_spin(ev, t0, spin.at, spin.period_index,
                        request.periods[static_cast<std::size_t>(spin.period_index)], s, request.stop);
        spin.level = l;
        if (request.stop.requested() || !request.fitted) return;
        const std::lock_guard<std::mutex> hold(reporting);
        request.fitted(spin);
    });
    return !request.stop.requested();
}

// Puts the fitted spins of level `level` (from 0) into `done`, best first;
// false with `why` when none has a finite chi2.
bool order_level(std::vector<spin_fit>& spins, int level, spin_level_result& done, std::string& why)
{
    std::sort(spins.begin(), spins.end(), spin_before);
    if (spins.empty() || !std::isfinite(spins.front().chi2)) {
        why = "no spin of level " + std::to_string(level + 1) + " has a finite chi2";
        return false;
    }
    done.nside = spins.front().at.nside;
    done.spins = std::move(spins);
    return true;
}

}  // namespace

bool spin_before(const spin_fit& a, const spin_fit& b)
{
    if (std::isnan(a.chi2) != std::isnan(b.chi2)) return std::isnan(b.chi2);
    if (!std::isnan(a.chi2) && a.chi2 != b.chi2) return a.chi2 < b.chi2;
    return std::tie(a.at.pixel, a.period_index) < std::tie(b.at.pixel, b.period_index);
}

spin_fit fit_spin(const std::shared_ptr<const chi2_evaluator>& ev, double t0, const pole& at, int32_t period_index,
                  double period_h, const spin_fit_settings& s, const stop_request& stop)
{
    spin_fit out;
    out.at = at;
    out.period_index = period_index;
    out.chi2 = std::nan("");
    out.reduced_chi2 = std::nan("");
    const objective f = chi2_objective(ev, t0);
    const double phase_step = 360.0 / s.phases;
    const std::vector<shape_params> shapes = grid_shapes(s.grid_step);
    std::vector<scored_point> scanned;
    for (int k = 0; k < s.phases && !stop.requested(); ++k)
        for (const shape_params& shape : shapes) {
            model_point x{};
            std::copy(shape.begin(), shape.end(), x.begin());
            x[model_param::phi0_deg] = phase_step * k;
            x[model_param::lambda_deg] = at.lambda_deg;
            x[model_param::beta_deg] = at.beta_deg;
            x[model_param::period_h] = period_h;
            scanned.push_back({0, x, f(x).chi2});
        }
    out.evaluations = static_cast<int>(scanned.size());
    if (scanned.empty()) return out;
    const model_space space = make_model_space(scanned.front().x, false);
    const std::vector<scored_point> starts = distinct_starts(space, scanned, s.starts, phase_step);
    if (starts.empty()) return out;
    out.x = starts.front().x;
    out.chi2 = starts.front().score;
    refine_options o;
    o.local = local_method::sbplx;
    o.initial_step = 0.15;
    o.max_evals = s.local_evals;
    o.threads = 1;
    o.stop = stop;
    std::vector<refined> solutions;
    std::string why;
    if (s.local_evals > 0 && refine_starts(space, f, starts, o, solutions, why)) {
        for (const refined& r : solutions) out.evaluations += r.evaluations;
        const refined& best = solutions.front();
        if (std::isfinite(best.f.chi2) && best.f.chi2 < out.chi2) {
            out.x = best.x;
            out.chi2 = best.f.chi2;
        }
    }
    // The phase as the spin file and the fields take it, in [0, 360).
    double& phase = out.x[model_param::phi0_deg];
    phase = std::fmod(phase, 360.0);
    if (phase < 0.0) phase += 360.0;
    out.reduced_chi2 = out.chi2 / (ev->point_count() - ev->block_count());
    return out;
}

std::vector<spin_fit> next_level_spins(const spin_level_result& done, int carry)
{
    std::vector<spin_fit> next;
    std::set<std::pair<int64_t, int32_t>> seen;
    for (std::size_t rank = 0; rank < done.spins.size(); ++rank) {
        const spin_fit& s = done.spins[rank];
        const bool carried = rank < static_cast<std::size_t>(std::max(carry, 0)) && std::isfinite(s.chi2);
        if (!(s.chi2 <= done.threshold.threshold) && !carried) continue;
        for (const pole& child : pole_children(s.at)) {
            if (!seen.insert({child.pixel, s.period_index}).second) continue;
            spin_fit n;
            n.level = s.level + 1;
            n.at = child;
            n.period_index = s.period_index;
            next.push_back(n);
        }
    }
    return next;
}

bool search_spins(const std::shared_ptr<const chi2_evaluator>& coarse, int coarse_subdivisions,
                  const std::shared_ptr<const chi2_evaluator>& fine, int fine_subdivisions, double t0,
                  const spin_search_request& request, spin_search_result& out, std::string& why)
{
    out = spin_search_result{};
    std::vector<spin_fit> spins = first_level_spins(request.nside, static_cast<int32_t>(request.periods.size()));
    for (int level = 0; level < request.levels; ++level) {
        const auto began = std::chrono::steady_clock::now();
        const bool first = level == 0;
        const std::shared_ptr<const chi2_evaluator>& ev = first ? coarse : fine;
        const bool fitted = fit_level(spins, ev, t0, first ? request.coarse : request.fine, request);
        if (request.exchange) {
            // This process's own spins go to the others, theirs come here.
            std::vector<uint8_t> own(spins.size(), 1);
            for (std::size_t i = 0; i < spins.size() && request.mine; ++i) own[i] = request.mine(i);
            if (!request.exchange(spins, own, !fitted, why)) return false;
        }
        if (!fitted) {
            why = "stopped";
            return false;
        }
        spin_level_result done;
        if (!order_level(spins, level, done, why)) return false;
        done.subdivisions = first ? coarse_subdivisions : fine_subdivisions;
        done.threshold = accept_threshold(done.spins.front().chi2, ev->point_count() - ev->block_count());
        done.seconds = seconds_since(began);
        out.levels.push_back(std::move(done));
        if (level + 1 < request.levels) spins = next_level_spins(out.levels.back(), request.carry);
        if (spins.empty()) break;
    }
    return true;
}

std::vector<spin_fit> first_level_spins(int32_t nside, int32_t periods)
{
    std::vector<spin_fit> spins;
    for (const pole& p : pole_grid(nside))
        for (int32_t k = 0; k < periods; ++k) {
            spin_fit s;
            s.at = p;
            s.period_index = k;
            spins.push_back(s);
        }
    return spins;
}

bool rebuild_spin_levels(const std::vector<spin_fit>& fitted, int32_t nside, int32_t periods, int carry,
                         const std::vector<double>& thresholds, spin_search_result& out, std::string& why)
{
    out = spin_search_result{};
    std::map<spin_key, const spin_fit*> found;
    for (const spin_fit& s : fitted) found[key_of(s)] = &s;
    std::vector<spin_fit> spins = first_level_spins(nside, periods);
    for (int level = 0; level < static_cast<int>(thresholds.size()) && !spins.empty(); ++level) {
        for (spin_fit& s : spins) {
            s.level = level;
            const auto f = found.find(key_of(s));
            if (f == found.end()) {
                why = "no journal holds the spin of level " + std::to_string(level + 1) + " at pixel " +
                      std::to_string(s.at.pixel) + " of resolution " + std::to_string(s.at.nside) + " and period " +
                      std::to_string(s.period_index + 1);
                return false;
            }
            s = *f->second;
        }
        spin_level_result done;
        if (!order_level(spins, level, done, why)) return false;
        done.threshold.threshold = thresholds[static_cast<std::size_t>(level)];
        out.levels.push_back(std::move(done));
        spins = next_level_spins(out.levels.back(), carry);
    }
    if (out.levels.empty()) {
        why = "the search recorded no level";
        return false;
    }
    return true;
}
