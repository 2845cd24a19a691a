#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/status_ops.hpp"
#include "sweep/sweep_records.hpp"

// How a sweep evaluates its shapes.
enum class sweep_path {
    fast,      // shared per-sweep geometry and the fast covering test
    reference  // straightforward covering test, one thread, nothing shared
};

// What the worker reaches of the controller's state.
struct sweep_context {
    status_ops* ui = nullptr;
    std::atomic<int32_t>* cancel = nullptr;             // polled and reset at every level-4 value
    std::atomic<shape_result*>* result_table = nullptr;  // published while the sweep runs
    sweep_path path = sweep_path::reference;
};

// The thread body of a sweep: walks the grid of `args.step`, evaluates
// every shape into `table` (sized for the whole grid, `progress_steps` the
// number of level-2 values), reports progress, honours cancel and writes
// "output/main.txt". Returns 1 when the summary file was written, else 0.
uint32_t sweep_worker(sweep_args args, std::vector<shape_result> table, int64_t progress_steps,
                      sweep_context context);

// Writes the summary table to `path` through a temporary file renamed into
// place. False when it could not be written.
bool write_summary(const char* path, const shape_result* rows, int32_t count);
