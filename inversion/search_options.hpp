#pragma once

#include "common/stop_request.hpp"

// The local method of a refinement (NLopt's bounded derivative-free ones).
// BOBYQA (quadratic models in a trust region) is the default: on smooth and
// kinked test bowls it converges in a fraction of Subplex's calls (82 against
// over 500 on a smooth 7-parameter bowl), and with restarts it does as well
// as Subplex on the model's own piecewise smooth misfit at fewer calls.
enum class local_method { bobyqa, sbplx };

// The optional global stage: NLopt's multi-level single linkage on a
// low-discrepancy sequence with the local method inside, controlled
// random search with local mutation followed by the local method, or hops
// from the best local solution (iterated local search: a random kick, then
// the local method, kept when it ends lower). On the model's own chi2,
// whose minima lie along long valleys between the grid's cells, the hops
// went furthest for the calls: from the best grid row of a synthetic set
// (8 blocks, 0.01 mag) MLSL and CRS2 ended 50 above the generating shape's
// chi2 after 600 and 2000 calls, 25 hops of 200 calls 2 above it.
enum class global_method { none, mlsl_lds, crs2_lm, hops };

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
    int hop_evals = 150;     // objective calls per hop
    int hops_per_round = 4;  // hops from the same best model, at once
    int hop_chains = 3;      // chains of hops, from the best local solutions of distinct regions
    double hop_kick = 0.06;  // a kick's standard deviation, in shape steps (unit_steps)
    int threads = 1;
    stop_request stop;  // polled before every objective call
};
