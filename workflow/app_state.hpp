#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.hpp"
#include "common/mesh.hpp"
#include "common/status_ops.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"
#include "runs/run_lock.hpp"
#include "sweep/block_share.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/spin.hpp"
#include "sweep/sweep_records.hpp"

// How this process takes part in a sweep that several compute: a shard of
// a job array, or a rank of an MPI run. The default is a sweep of its own.
struct sweep_share {
    int32_t shard = 0;  // shard K of `shards` (0: not a shard)
    int32_t shards = 0;
    int32_t ranks = 0;               // ranks of an MPI run (0: one process)
    bool follower = false;           // a rank other than 0: computes blocks, writes no shared file
    block_dealer* dealer = nullptr;  // ranks: where the blocks come from
    row_sink* sink = nullptr;        // followers: where the finished rows go
    // Ranks: every rank calls it once the coordinator has prepared the run
    // (or failed to): the coordinator passes whether the sweep may start and
    // the shapes already finished, the others learn them. False when the
    // sweep does not start.
    std::function<bool(bool ready, std::vector<uint8_t>& finished)> agree;
    bool agreed = false;
    // The coordinator: waits for the other ranks' rows (see sweep_sinks).
    std::function<bool(shape_result*, uint8_t*, block_fit*, std::string& why)> gather;
    std::atomic<int64_t>* remote_done = nullptr;
    bool no_curves = false;  // no lightcurve file per shape
    // The coordinator's journal while its sweep runs, for the rows that
    // other ranks send.
    row_sink* journal = nullptr;
};

// The controller's state. Front ends own one instance for the whole run;
// tests make their own.
struct app_state {
    status_ops* target = nullptr;
    std::atomic<int32_t> cancel{0};
    std::thread worker;
    std::atomic<bool> sweep_running{false};
    std::string text_buffer;

    // Shared ownership: a running sweep keeps the arrays it started with.
    std::shared_ptr<const mesh> base;
    int32_t subdivisions = 0;
    obs_set observations;
    std::shared_ptr<const ref_curve> reference;
    spin_state spin;
    double step = 0.0;
    std::atomic<shape_result*> result_table{nullptr};
    int32_t thread_count = 0;
    int64_t geosphere_start_ms = 0;
    int64_t geosphere_end_ms = 0;
    double geosphere_seconds = 0.0;
    sweep_args args;

    // The file last loaded, as named and by its SHA-256.
    std::string obs_path;
    std::string obs_sha256;
    std::string block_list;                  // the blocks field as loaded ("" for none)
    std::vector<std::string> load_warnings;  // what the last load warned of

    // Command-line extras: one lightcurve block only, the sweep path, and
    // whether to continue the interrupted sweep of the folder.
    int32_t only_block = all_blocks;
    double sigma = 0.0;  // the chi2 fit's sigma of every point, mag (0: estimated per block)
    sweep_path path = sweep_path::fast;
    bool resume = false;
    sweep_share share;

    // One run per folder: taken by a sweep (or by the command line for its
    // whole run); a sweep that took it gives it back when it ends.
    folder_lock lock;
    bool sweep_owns_lock = false;

    // The result of the last sweep that ended: 1 when complete, else 0; and
    // how it ended (read once the sweep has been waited for).
    std::atomic<uint32_t> last_sweep_result{0};
    sweep_outcome last_outcome;

    app_state() = default;
    app_state(const app_state&) = delete;
    app_state& operator=(const app_state&) = delete;
    // Waits for a sweep still running, so no worker outlives its state.
    ~app_state();
};
