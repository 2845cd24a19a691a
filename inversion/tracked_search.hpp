#pragma once

#include <nlopt.hpp>

#include <exception>
#include <functional>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/objective.hpp"
#include "inversion/search_options.hpp"

// One optimiser run's view of the objective, shared by the refinement, the
// ranges and the jackknife: it maps the unit box to models, counts the
// calls, keeps the best model seen (the first of equal chi2), shows every
// evaluated model to `seen` when given, and ends the run at a stop request
// or when the objective throws (keeping the exception for the caller).
struct tracked_objective {
    const model_space* space = nullptr;
    const objective* f = nullptr;
    const stop_request* stop = nullptr;
    std::function<void(const model_point&, const fit_value&)> seen;
    nlopt::opt* run = nullptr;  // the optimiser to stop

    int evaluations = 0;
    bool any = false;  // whether best_x and best_f hold a model
    model_point best_x{};
    fit_value best_f;
    bool stopped = false;
    std::exception_ptr failure;

    // The chi2 at unit-box point `u` as the optimiser minimises it: +inf
    // for a chi2 that is not finite, and after a stop or a failure.
    double chi2_at(const double* u);
};

// The objective of an NLopt run: `data` is a tracked_objective.
double tracked_chi2(unsigned n, const double* u, double* grad, void* data);

// Lets `run` minimise `track`, starting from `u`; an ending NLopt reports as
// an exception (a stop, round-off, a failure of the method) is taken as the
// end of the run, the best model tracked being its result. Rethrows the
// objective's exception.
void minimise_tracked(nlopt::opt& run, tracked_objective& track, std::vector<double> u);

// As minimise_tracked, leaving in `u` where the run ended and giving the
// value there (+inf when the run ended before any).
double minimise_from(nlopt::opt& run, tracked_objective& track, std::vector<double>& u);

// The NLopt algorithm of a local method.
nlopt::algorithm local_algorithm(local_method method);

// A local optimiser over the unit box of `space` with the options' first
// step and stopping rules (both per parameter, as unit_steps scales them)
// and at most `max_evals` objective calls.
nlopt::opt local_optimiser(const model_space& space, local_method method, const refine_options& options, int max_evals);
