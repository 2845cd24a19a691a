#pragma once

// The refinement after a chi2 sweep, as every front end runs it: the best
// grid rows of distinct regions refined in the continuous model space (and
// hops from the best), the acceptable set around the best model and the
// jackknife over the blocks.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/stop_request.hpp"
#include "inversion/chi2_evaluator.hpp"
#include "inversion/model_space.hpp"
#include "inversion/objective.hpp"
#include "inversion/refine.hpp"
#include "inversion/uncertainty.hpp"

// The objective calls each stage may make. On 8 blocks of 50 points at 3
// subdivisions (about 30 ms a call on one core here) the defaults take
// about two minutes on two threads, and find the generating shape's basin
// of synthetic sets more often than longer local searches would: the hops
// move along the valleys where the local searches stop.
struct refine_budget {
    int local = 150;      // per start (restarts included)
    int global = 2400;    // of the hop stage (0: none)
    int hop = 150;        // per hop
    int range = 120;      // per range search (one parameter, one direction, one seed)
    int range_seeds = 2;  // seeds of the range searches, at most
    int jackknife = 150;  // per left-out block
};

// The default budget with every count times `effort` (> 0), at least 1
// call each (seeds: 1 to 6): less for a first look, more for a result.
refine_budget scaled_budget(double effort);

// What to refine, and how.
struct refinement_request {
    int starts = 10;    // grid rows of distinct regions
    bool spin = false;  // lambda, beta and the period free too
    refine_budget budget;
    int threads = 1;
    stop_request stop;
    // Models of known chi2 under the refinement's own model (a spin
    // search's spins): they count in the acceptable set.
    std::vector<scored_point> known;
};

// Seconds each stage took.
struct refinement_times {
    double refine_s = 0.0;
    double ranges_s = 0.0;
    double jackknife_s = 0.0;
};

// What a refinement found.
struct refinement_result {
    model_space space;               // around the best grid row
    double nu = 0.0;                 // points - blocks
    std::vector<refined> solutions;  // best first
    acceptable_set set;              // the acceptable ranges
    bool has_jackknife = false;      // false for a single block
    jackknife_result jackknife;      // leave-one-block-out
    int64_t evaluations = 0;         // of the refined solutions
    refinement_times times;
};

// The chi2 objective of `ev` at epoch `t0` over the blocks `mask` keeps
// (every block when empty); a model the evaluator refuses has no finite chi2.
objective chi2_objective(std::shared_ptr<const chi2_evaluator> ev, double t0, std::vector<uint8_t> mask = {});

// A grid row as a model: the six shape parameters `params` (y_scale_1 ..
// x_shift) at spin `at` (its phase, pole and period), scored by `misfit`.
scored_point grid_model(int32_t shape, const double* params, double misfit, const chi2_point& at);

// Refines after the sweep whose table is `rows` (grid models scored by their
// reduced chi2; `rows_same_model`: whether `ev` is the sweep's own model, so
// that a row's misfit times nu is its chi2 and the rows count in the
// acceptable set). False with `why` when no row has a finite misfit, or a
// stop was requested; exceptions of the evaluator pass through.
bool refine_after_grid(std::shared_ptr<const chi2_evaluator> ev, double t0, const std::vector<scored_point>& rows,
                       bool rows_same_model, const refinement_request& request, refinement_result& out,
                       std::string& why);
