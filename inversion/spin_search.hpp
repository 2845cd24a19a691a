#pragma once

// The search for the spin: at every pole of a HEALPix grid and every
// period of a scan, the phase and the shape fitted to the observed points
// (a scan of phases and grid shapes, then a local refinement); coarse to
// fine, each finer level trying the four sub-pixels of every pole that the
// level before left under its threshold.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/stop_request.hpp"
#include "inversion/chi2_evaluator.hpp"
#include "inversion/model_space.hpp"
#include "inversion/pole_grid.hpp"
#include "inversion/uncertainty.hpp"

// How the phase and shape are fitted at one spin.
struct spin_fit_settings {
    double grid_step = 0.5;  // the shape grid scanned at every phase (12 shapes)
    int phases = 12;         // phases scanned, 360 / phases degrees apart
    int starts = 2;          // best scanned models of distinct regions refined
    int local_evals = 60;    // objective calls per refined start
};

// One spin tried: where it sits in the search, and the best model found.
struct spin_fit {
    int level = 0;
    pole at;                   // the pole and its pixel
    int32_t period_index = 0;  // into the scan's periods
    model_point x{};           // the best model: shape, phase, and this spin
    double chi2 = 0.0;         // NaN when no model could be computed
    double reduced_chi2 = 0.0;
    int evaluations = 0;
};

// Orders spins best first: lower chi2 (NaN last), then pixel, then period.
bool spin_before(const spin_fit& a, const spin_fit& b);

// Fits phase and shape at pole `at` and period `period_h` with `ev` (epoch
// t0): every grid shape of s.grid_step at each of s.phases phases, then the
// best s.starts of distinct regions refined locally with the spin held.
// Depends only on its arguments, not on threads. Exceptions of the
// evaluator pass through.
spin_fit fit_spin(const std::shared_ptr<const chi2_evaluator>& ev, double t0, const pole& at, int32_t period_index,
                  double period_h, const spin_fit_settings& s, const stop_request& stop = {});

// How many of a level's best spins the next level refines at least, under
// the threshold or not: the first level's coarse model can rank the true
// pole a few places below a spurious one.
constexpr int default_spin_carry = 8;

// What to search.
struct spin_search_request {
    int32_t nside = 2;               // the first level's pole resolution
    int levels = 2;                  // the first and the finer ones (each doubling nside)
    std::vector<double> periods;     // hours, at least one
    spin_fit_settings coarse;        // the first level's fits
    spin_fit_settings fine;          // the finer levels' fits
    int carry = default_spin_carry;  // a level's best spins passed on, at least
    int threads = 1;
    stop_request stop;
    // Spins fitted before (a journal's), taken as they are where level,
    // resolution, pixel and period index match a spin of the search.
    std::vector<spin_fit> done;
    // Called once for each spin fitted here, one call at a time, from the
    // thread that fitted it (for the journal); may be empty.
    std::function<void(const spin_fit&)> fitted;
    // Several processes sharing a search: whether this one fits the spin at
    // `index` of a level's list (every spin when empty), and, called by
    // every process once a level's own spins are fitted (or a stop was
    // requested here: `stopped`), the exchange that sends the entries marked
    // in `own` and fills in the others' from the processes that own them, so
    // that every process holds the whole level; false with `why` ends the
    // search everywhere (it must say so on every process when one stopped).
    // Spins in `done` must be the same on every process.
    std::function<bool(std::size_t index)> mine;
    std::function<bool(std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped, std::string& why)>
        exchange;
};

// Every level's spins, best first, and the threshold that chose the poles
// passed on to the next.
struct spin_level_result {
    int32_t nside = 0;
    int subdivisions = 0;
    std::vector<spin_fit> spins;
    acceptance threshold;
    double seconds = 0.0;
};

struct spin_search_result {
    std::vector<spin_level_result> levels;
    const spin_fit& best() const { return levels.back().spins.front(); }
};

// The spins of the level after `done`: the four sub-pixels of each pole of
// a spin under `done`'s threshold or among its best `carry` (of finite
// chi2), at that spin's period, each pixel and period once, in the order
// of `done`'s spins.
std::vector<spin_fit> next_level_spins(const spin_level_result& done, int carry);

// Runs the search: the first level with `coarse` (its model), the finer
// ones with `fine`; the spins of a level dealt over request.threads
// threads, the results the same for any count. False with `why` when a
// stop was requested or no spin of a level has a finite chi2.
bool search_spins(const std::shared_ptr<const chi2_evaluator>& coarse, int coarse_subdivisions,
                  const std::shared_ptr<const chi2_evaluator>& fine, int fine_subdivisions, double t0,
                  const spin_search_request& request, spin_search_result& out, std::string& why);

// The first level's spins: every pole of the grid of resolution `nside` at
// each of `periods` periods, not yet fitted.
std::vector<spin_fit> first_level_spins(int32_t nside, int32_t periods);

// A finished search's levels rebuilt from the spins it fitted (shards'
// journals, in any order), the search's `carry` and each level's recorded
// threshold: each level
// holds the spins the one before asks for, best first, as search_spins
// left them (the thresholds aside, which hold only `threshold`). False
// with `why` naming a spin that `fitted` lacks.
bool rebuild_spin_levels(const std::vector<spin_fit>& fitted, int32_t nside, int32_t periods, int carry,
                         const std::vector<double>& thresholds, spin_search_result& out, std::string& why);
