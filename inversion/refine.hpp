#pragma once

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/stop_request.hpp"
#include "inversion/model_space.hpp"

// What the objective says of one model: its chi-square and, when it knows
// it, the rms of the magnitude residuals. A chi2 that is not finite (a model
// that cannot be computed) counts as worse than every finite one.
struct fit_value {
    double chi2 = std::numeric_limits<double>::quiet_NaN();
    double rms_mag = std::numeric_limits<double>::quiet_NaN();
};

// The fit of a model. Called from several threads at once; must give the
// same value for the same model every time. It may throw to end the work:
// the refinement rethrows the exception to its caller.
using objective = std::function<fit_value(const model_point&)>;

// A model with its score: a row of the grid table (shape number, model,
// misfit), or any model with its chi2 (shape 0 when it is not a grid row).
struct scored_point {
    int shape = 0;
    model_point x{};
    double score = std::numeric_limits<double>::quiet_NaN();
};

// The distance between starts that counts as another region: Euclidean in
// the unit box of the six shape parameters (diagonal sqrt(6)). It has to
// pass the grid's spacing (about 0.3 in unit coordinates at a grid step of
// 0.25, 0.12 at 0.1), or the best rows, all neighbours around one minimum,
// are all "distinct"; on random two-basin functions over grids of 0.17 to
// 0.33 spacing, 0.5 found the other basin most often (0.15 least).
constexpr double default_start_distance = 0.5;

// Picks up to `count` starts from `rows` (NaN scores never): the best score,
// then repeatedly the best remaining row at least `min_distance` (in
// shape_distance) from every start already picked; when fewer than `count`
// regions are found, the best rows not yet picked fill up. Returns indices
// into `rows` in the order picked; equal scores go by index.
std::vector<std::size_t> pick_starts(const model_space& space, const std::vector<scored_point>& rows, int count,
                                     double min_distance = default_start_distance);

// The local method of a refinement (NLopt's bounded derivative-free ones).
enum class local_method { bobyqa, sbplx };

// The optional global stage: NLopt's multi-level single linkage on a
// low-discrepancy sequence with the local method inside, or controlled
// random search with local mutation followed by the local method.
enum class global_method { none, mlsl_lds, crs2_lm };

// How to refine.
struct refine_options {
    local_method local = local_method::bobyqa;
    double ftol_rel = 1e-7;      // relative change of chi2 that ends a local search
    double xtol_abs = 1e-6;      // step in unit coordinates that ends a local search
    double initial_step = 0.05;  // first step of a local search, in unit coordinates
    int max_evals = 500;         // objective calls per start at most
    global_method global = global_method::none;
    int global_evals = 3000;  // objective calls of the global stage at most
    unsigned global_seed = 20250101;
    int threads = 1;
    stop_request stop;  // polled before every objective call
};

// A refined solution: which start it came from (its index in the starts,
// and the start's shape number; the global stage has index starts.size() and
// shape 0), the best model found, its fit and how many objective calls it took.
struct refined {
    int start = 0;
    int start_shape = 0;
    model_point x{};
    fit_value f;
    int evaluations = 0;
};

// Orders solutions by chi2 (non-finite last), then by start index.
bool refined_before(const refined& a, const refined& b);

// Refines `starts` (their models; their scores are not used) within `space`:
// a bounded local search from each (restarted from its best model with a
// fresh first step while a run improves chi2 by more than ftol_rel and
// calls are left), and the global stage when asked; the
// starts run in parallel on options.threads threads, each with its own
// optimiser, so that every result depends only on its start. Fills `out`
// ordered by refined_before. False with `why` when there is nothing to
// refine or a stop was requested; exceptions of the objective pass through.
bool refine_starts(const model_space& space, const objective& f, const std::vector<scored_point>& starts,
                   const refine_options& options, std::vector<refined>& out, std::string& why);
