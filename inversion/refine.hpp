#pragma once

#include <string>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/objective.hpp"
#include "inversion/search_options.hpp"

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

// A refined solution: which start it came from (its index in the starts,
// and the start's shape number; the global stage has index starts.size() and
// shape 0), the best model found, its fit and how many objective calls it
// took; and every model it evaluated with a finite chi2, in the order
// evaluated (each is a model of known chi2: the acceptable set counts them).
struct refined {
    int start = 0;
    int start_shape = 0;
    model_point x{};
    fit_value f;
    int evaluations = 0;
    std::vector<scored_point> visited;
};

// Orders solutions by chi2 (non-finite last), then by start index.
bool refined_before(const refined& a, const refined& b);

// Refines `starts` (their models; their scores are not used) within `space`:
// a bounded local search from each (restarted from its best model with a
// fresh first step while a run improves chi2 by more than ftol_rel and
// calls are left; the periodic parameters' windows centred on the start),
// and the global stage when asked (MLSL or CRS2 in `space` as it is,
// beside the starts; the hops after them, from the best); the starts run in
// parallel on options.threads threads, each with its own optimiser, so that
// every result depends only on its start. Fills `out`
// ordered by refined_before. False with `why` when there is nothing to
// refine or a stop was requested; exceptions of the objective pass through.
bool refine_starts(const model_space& space, const objective& f, const std::vector<scored_point>& starts,
                   const refine_options& options, std::vector<refined>& out, std::string& why);
