#pragma once

#include "common/stop_request.hpp"

// The local method of a refinement (NLopt's bounded derivative-free ones).
// BOBYQA (quadratic models in a trust region) is the default: on smooth and
// kinked test bowls it converges in a fraction of Subplex's calls (82 against
// over 500 on a smooth 7-parameter bowl), and with restarts it does as well
// as Subplex on the model's own piecewise smooth misfit at fewer calls.
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
    int max_evals = 500;         // objective calls per start at most (restarts included)
    global_method global = global_method::none;
    int global_evals = 3000;  // objective calls of the global stage at most
    unsigned global_seed = 20250101;
    int threads = 1;
    stop_request stop;  // polled before every objective call
};
