#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/status_ops.hpp"
#include "sweep/block_share.hpp"
#include "sweep/sweep_journal.hpp"
#include "sweep/sweep_records.hpp"

// How a sweep evaluates its shapes.
enum class sweep_path {
    fast,      // shared per-sweep geometry and the fast covering test
    reference  // straightforward covering test, one thread, nothing shared
};

// What the worker reaches of the controller's state.
struct sweep_context {
    status_ops* ui = nullptr;
    std::atomic<int32_t>* cancel = nullptr;             // polled between shapes and samples, reset when honoured
    std::atomic<shape_result*>* result_table = nullptr;  // published while the sweep runs
    sweep_path path = sweep_path::reference;
    row_sink* journal = nullptr;  // when given, every finished block of rows is appended here
    // Per shape (index shape - 1): 1 when its file and row are already done,
    // as a resumed sweep finds them; those shapes are not evaluated again.
    // Empty means none.
    std::vector<uint8_t> finished;
    // Each block's own fit per shape (shape-major, args.job.block_count per
    // shape), those of finished shapes filled in; and the file's numbers of
    // the blocks: when there are any, "output/fits.csv" lists every fit.
    std::vector<block_fit> block_fits;
    std::vector<int32_t> block_ids;

    // A share of a sweep that several processes compute (shards, ranks):
    // where the blocks come from (null: every block, here), and whether
    // this process computes only a share: then it writes `table_file` and
    // `fits_file` (when named) with the rows it holds, and no shape without
    // a finite misfit makes it fail.
    block_dealer* dealer = nullptr;
    bool share_only = false;
    // The coordinator of several ranks: once its own walk has ended, waits
    // for the other ranks and puts their rows into the table, the finished
    // flags and the block fits; returns why the run failed, or "".
    std::function<std::string(shape_result* table, uint8_t* finished, block_fit* fits)> gather;
    // Shapes that other ranks finished, for the progress shown here.
    std::atomic<int64_t>* remote_done = nullptr;
    // The files the sweep writes at its end.
    std::string table_file = "output/main.txt";
    std::string partial_file = "output/main.partial.txt";
    std::string fits_file = "output/fits.csv";
    // When given, a complete sweep leaves its rows here (for callers that
    // keep the results in memory, such as the Python module).
    std::vector<shape_result>* rows_out = nullptr;
};

// How a sweep ended.
enum class sweep_status { complete, cancelled, failed };

struct sweep_outcome {
    sweep_status status = sweep_status::failed;
    std::string reason;     // for a failure: what failed, and the system's reason
    int32_t shapes = 0;     // shapes of the grid
    int32_t finished = 0;   // shapes whose file and row are done
};

// The thread body of a sweep: walks the grid of `args.step`, evaluates
// every shape into `table` (sized for the whole grid, `progress_steps` the
// number of level-2 values), reports progress, honours cancel and writes
// "output/main.txt". The first shape or file that fails ends the sweep at
// once. A sweep that ends early writes the rows it finished to
// "output/main.partial.txt". A sweep in which no shape got a finite misfit
// has failed.
sweep_outcome sweep_worker(sweep_args args, std::vector<shape_result> table, int64_t progress_steps,
                           sweep_context context);

// Writes the summary lines of `rows` (all of them, or with `only` those
// whose flag is 1) to `path` through a temporary file renamed into place.
// False when it could not be written; then `why` (when given) says why.
bool write_summary(const char* path, const shape_result* rows, int32_t count, const uint8_t* only = nullptr,
                   std::string* why = nullptr);

// Seconds one shape of the sweep takes on one thread, timed on the first
// `count` shapes of the grid in memory (no file written); 0 when unknown.
double time_per_shape(const sweep_args& args, int count);

// Writes "output/fits.csv": a header line, then shape, block, shift and
// misfit for every shape (or with `only` those whose flag is 1) and block;
// false with `why` when it cannot.
bool write_block_fits(const char* path, const block_fit* fits, int32_t shapes, const std::vector<int32_t>& block_ids,
                      std::string& why, const uint8_t* only = nullptr);

// The status text of a failed sweep.
std::string sweep_failure_text(const std::string& reason);
