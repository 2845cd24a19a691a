#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/status_ops.hpp"
#include "sweep/block_share.hpp"
#include "sweep/shape_grid.hpp"
#include "sweep/sweep_journal.hpp"
#include "sweep/sweep_records.hpp"

// How a sweep evaluates its shapes.
enum class sweep_path {
    fast,      // shared per-sweep geometry and the fast covering test
    reference  // straightforward covering test, one thread, nothing shared
};

// What a sweep computes: the grid of args.step over the base and the
// reference that args holds, with its job template, and what an earlier
// run already finished.
struct sweep_request {
    sweep_args args;
    int64_t progress_steps = 0;  // level-2 values of the grid
    sweep_path path = sweep_path::fast;
    // One row per shape of the grid; a finished shape's row holds its fit.
    std::vector<shape_result> table;
    // Per shape: 1 when its file and row are already done (a resumed run);
    // those shapes are not evaluated again. Empty means none.
    std::vector<uint8_t> finished;
    // Each block's own fit per shape (shape-major, args.job.block_count per
    // shape), those of finished shapes filled in.
    std::vector<block_fit> block_fits;
    // A share of a sweep that several processes compute (shards, ranks): no
    // shape without a finite misfit makes it fail, since the share may hold
    // none of the shapes that have one.
    bool share_only = false;
};

// A request for the whole grid of `count` (as count_grid gives it): a row
// and NaN block fits for every shape, none finished. Throws std::bad_alloc
// when the table does not fit in memory.
sweep_request make_sweep_request(sweep_args args, const grid_count& count, sweep_path path = sweep_path::fast);

// Where a sweep reports to and what it is told while it runs.
struct sweep_sinks {
    status_ops* ui = nullptr;                // progress; never null (null_front_end shows nothing)
    std::atomic<int32_t>* cancel = nullptr;  // polled between shapes and samples, reset when honoured; never null
    std::atomic<shape_result*>* published = nullptr;  // the table while the walk runs, null after
    row_sink* journal = nullptr;                      // when given, every finished block of rows is appended here
    block_dealer* dealer = nullptr;                   // where the blocks come from (null: every block, here)
    // The coordinator of several ranks: once its own walk has ended, waits
    // for the other ranks and puts their rows into the table, the finished
    // flags and the block fits; false with `why` when the run failed.
    std::function<bool(shape_result* table, uint8_t* finished, block_fit* fits, std::string& why)> gather;
    // Shapes that other ranks finished, for the progress shown here.
    std::atomic<int64_t>* remote_done = nullptr;
};

// How a sweep ended.
enum class sweep_status { complete, cancelled, failed };

// How a sweep ended.
struct sweep_outcome {
    sweep_status status = sweep_status::failed;
    std::string reason;    // for a failure: what failed, and the system's reason
    int32_t shapes = 0;    // shapes of the grid
    int32_t finished = 0;  // shapes whose file and row are done
    // The walk ran to its end, so every row this process computes is in
    // the table: the tables can be written, even when the sweep failed for
    // want of a finite misfit.
    bool walked = false;
    // The failure was an allocation that failed (the reason says which).
    bool out_of_memory = false;
};

// What a sweep leaves: how it ended and every row it holds.
struct sweep_result {
    sweep_outcome outcome;
    std::vector<shape_result> table;
    std::vector<uint8_t> finished;      // per shape
    std::vector<block_fit> block_fits;  // as in the request
};

// The one way to run a sweep: walks the grid of the request, evaluates
// every shape not yet finished (each into its row, its lightcurve file
// unless args.job.no_curves, and the journal), moves the progress bar,
// honours cancel and gathers the other ranks' rows. The first shape or
// file that fails ends the walk at once. A walk in which no shape got a
// finite misfit has failed (unless the request is a share). Writes no
// table and shows no status text: the caller does both with the outcome.
// Out of memory on any thread fails the sweep with that reason.
sweep_result run_sweep(sweep_request request, const sweep_sinks& sinks);

// The most threads a sweep runs on.
constexpr int max_sweep_threads = 50;

// Whether a sweep may run on `threads` threads; false with the refusal in `why`.
bool check_thread_count(int threads, std::string& why);

// Every core, within the threads a sweep may run on: the default of the
// command line and of the Python module.
int default_thread_count();

// Seconds one shape of the sweep takes on one thread, timed on the first
// `count` shapes of the grid in memory (no file written); 0 when unknown.
double time_per_shape(const sweep_args& args, int count);

// The status text of a failed sweep.
std::string sweep_failure_text(const std::string& reason);
