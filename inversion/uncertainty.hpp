#pragma once

#include <array>
#include <string>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/refine.hpp"

// The acceptable set's threshold for a best chi2 `chi2_min` on `nu` degrees
// of freedom. When the best reduced chi2 chi2_min / nu is above 1, sigma is
// inflated by s = sqrt(chi2_min / nu), so that the best reduced chi2 is 1:
// in those units the threshold is nu (1 + sqrt(2 / nu)), which is
// s^2 nu (1 + sqrt(2 / nu)) = chi2_min (1 + sqrt(2 / nu)) in the original
// chi2 units. Otherwise s = 1 and the threshold is chi2_min (1 + sqrt(2 / nu)).
// Every chi2 here is in the original units; divide by s^2 for the inflated ones.
struct acceptance {
    double chi2_min = 0.0;
    double nu = 0.0;
    double sigma_inflation = 1.0;  // s
    double threshold = 0.0;        // in the original chi2 units
};

// The threshold for `chi2_min` on `nu` (> 0) degrees of freedom, as above.
acceptance accept_threshold(double chi2_min, double nu);

// One parameter's best value and the extremes of the acceptable set.
struct param_range {
    double best = 0.0;
    double min = 0.0;
    double max = 0.0;
};

// How to explore the acceptable set.
struct range_options {
    int max_evals = 120;         // objective calls per search (one parameter, one direction, one seed)
    int step_evals = 30;         // objective calls per step of the profile that follows, for the others' minimum
    int edge_evals = 30;         // objective calls of a search that first follow the threshold's edge
    double initial_step = 0.05;  // first step, in unit coordinates (a search's first is twice this)
    double xtol_abs = 1e-5;      // step in unit coordinates that ends a search
    int max_seeds = 6;           // seeds the searches start from, at most
    double seed_distance = default_start_distance;  // between seeds, as pick_starts measures it
    double bound_tolerance = 1e-3;                  // in unit coordinates: how near a bound counts as on it
    int threads = 1;
    stop_request stop;
};

// The acceptable set's extent.
struct acceptable_set {
    acceptance accept;
    std::vector<int> params;                               // the free parameters, in box order
    std::array<param_range, model_param::count> ranges{};  // of the free ones; the others best = min = max
    std::vector<int> at_bound;                             // free parameters whose best or range touches a bound
    int evaluations = 0;
};

// The ranges of the free parameters over the models with chi2 <= the
// threshold. `points` are models with their chi2 (scored_point.score, from
// `f`): the refined solutions, and grid rows when the caller has their chi2;
// the first of the lowest chi2 is the best model. Every point under the
// threshold counts as it is; from the best ones (pick_starts over them,
// options.max_seeds at most, options.seed_distance apart, so that separate
// basins each get theirs) each free parameter is moved down and up as far
// as the set allows: first along the threshold's edge (NLopt's COBYLA),
// then along its profile (the lowest chi2 over the other parameters, by
// short Subplex searches) while that stays under the threshold, in the unit
// box; every evaluated model under the threshold counts for every
// parameter. The windows of the periodic parameters are centred on the best model: their
// ranges lie within 180 degrees of it (an acceptable set that reaches round
// the circle touches the window's edges, and at_bound names it). The
// searches run on options.threads threads; the result does not depend on
// how many. False with `why` when no point has a finite chi2, `nu` is not
// positive or a stop was requested.
bool explore_acceptable(const model_space& space, const objective& f, const std::vector<scored_point>& points,
                        double nu, const range_options& options, acceptable_set& out, std::string& why);

// The objective with lightcurve block `block` left out (0 .. blocks - 1).
using objective_factory = std::function<objective(int block)>;

// One parameter's jackknife: the spread sqrt((B - 1) / B sum_b (x_b - mean)^2)
// of the leave-one-block-out solutions x_b, and their extremes.
struct jackknife_spread {
    double spread = 0.0;
    double min = 0.0;
    double max = 0.0;
};

// The jackknife over B blocks.
struct jackknife_result {
    int blocks = 0;
    std::vector<int> params;  // the free parameters, in box order
    std::array<jackknife_spread, model_param::count> spread{};
    std::vector<refined> solutions;  // one per left-out block, in block order (start = the block)
};

// Refines from `best` with each block left out in turn (a local search
// with `options`, no global stage, the blocks in parallel on
// options.threads threads; `leave_out` is called here, block by block,
// before any of them starts) and gives each free parameter's spread. False with `why` when `blocks` < 2 or
// a stop was requested.
bool jackknife(const model_space& space, const objective_factory& leave_out, int blocks, const model_point& best,
               const refine_options& options, jackknife_result& out, std::string& why);
