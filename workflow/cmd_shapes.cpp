#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>

#include "common/control_ids.hpp"
#include "lightcurve/sample_file.hpp"
#include "runs/run_checks.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"
#include "workflow/controller.hpp"
#include "workflow/preflight.hpp"

namespace {


// The inputs of a sweep as the manifest records them.
run_inputs inputs_of(const app_state& app, const sweep_plan& plan)
{
    const double step = plan.step;
    run_inputs in;
    in.observation_file = app.obs_path;
    in.observation_sha256 = app.obs_sha256;
    in.block = app.only_block;
    in.lambda_deg = app.spin.lambda_deg;
    in.beta_deg = app.spin.beta_deg;
    in.phi0_deg = app.spin.phi0_deg;
    in.period_hours = app.spin.period_hours;
    in.t0 = app.spin.t0;
    in.step = step;
    in.subdivisions = app.subdivisions;
    in.blocks = app.block_list;
    in.fit = plan.fit == fit_mode::offset ? "offset" : "range";
    in.no_curves = app.share.no_curves;
    return in;
}

// The manifest's word for how a sweep ended.
const char* status_word(sweep_status status)
{
    switch (status) {
    case sweep_status::complete: return "complete";
    case sweep_status::cancelled: return "cancelled";
    default: return "failed";
    }
}

// The lightcurve blocks of the loaded reference (1 for the whole file).
int32_t blocks_of(const app_state& app)
{
    return std::max<int32_t>(1, static_cast<int32_t>(app.reference->times.size() / reference_samples));
}

// Gives the folder back when the sweep took it.
void release_sweep_lock(app_state& app)
{
    if (app.sweep_owns_lock) app.lock.release();
    app.sweep_owns_lock = false;
}

// The refusal of a sweep that would not fit the machine or the folder, with
// `new_files` lightcurve files still to write; "" when it fits. Only then
// are a few shapes timed, for the estimate the refusal gives.
std::string size_refusal(const app_state& app, const sweep_plan& plan, int64_t new_files)
{
    const sweep_needs needs =
        estimate_sweep_needs(plan.count.shapes, new_files, app.base->vertex_count, plan.threads, blocks_of(app));
    if (sweep_size_refusal(needs, 0.0, plan.threads).empty()) return "";
    const double per_shape = time_per_shape(make_sweep_args(app.base, app.reference, used_spin(app.spin), plan.step, 1), 3);
    return sweep_size_refusal(needs, per_shape, plan.threads);
}

// Everything between the checks and the worker: the lock, the folder made
// to describe this run only, the journal and the manifest. Fills `start`.
command_outcome prepare_run(app_state& app, const sweep_plan& plan, std::vector<shape_result>& table,
                            std::vector<block_fit>& block_fits, run_manifest& manifest, taken_over& start,
                            sweep_journal& journal, const run_files& files, const std::vector<uint8_t>& own)
{
    std::string why;
    if (!app.lock.held()) {
        app.lock.use_file(files.lock);
        if (!app.lock.acquire(why)) return refuse_visibly(app, why);
        app.sweep_owns_lock = true;
    }
    manifest.inputs = inputs_of(app, plan);
    manifest.shard = app.share.shard;
    manifest.shards = app.share.shards;
    manifest.ranks = app.share.ranks;
    if (app.resume) {
        why = take_over_run(manifest.inputs, table, block_fits, blocks_of(app), start, files);
        if (!why.empty()) return refuse_visibly(app, why);
        // The disk, now that the files kept are known (a fresh run's was
        // checked with the memory).
        why = size_refusal(app, plan, plan.count.shapes - start.kept);
        if (!why.empty()) return refuse_visibly(app, why);
    } else {
        start.finished.assign(table.size(), 0);
    }
    if (!clear_run_folder(start.finished, why, files, own)) return refuse_visibly(app, why);
    manifest.threads = plan.threads;
    manifest.sweep_path = app.path == sweep_path::fast ? "fast" : "reference";
    manifest.version = program_version();
    manifest.shapes = plan.count.shapes;
    manifest.progress_steps = plan.count.progress_steps;
    manifest.resumed_shapes = start.kept;
    manifest.finished_shapes = start.kept;
    manifest.started = utc_now();
    manifest.status = "running";
    // The manifest first: a journal never exists without the record of its run.
    if (!write_manifest(files.manifest, manifest, why)) return refuse_visibly(app, why);
    if (!write_sample_file(sample_file, *app.reference, app.observations, why) ||
        !journal.open(files.journal, start.journal_bytes, why)) {
        manifest.status = "failed";
        manifest.reason = why;
        manifest.ended = utc_now();
        std::string ignored;
        write_manifest(files.manifest, manifest, ignored);
        return refuse_visibly(app, why);
    }
    return {true, ""};
}

// The shapes of the blocks a shard computes (1 each), and the dealer of
// those blocks; nothing for a sweep that is not a shard.
void shard_plan(const app_state& app, double step, int64_t shapes, std::vector<uint8_t>& own,
                std::shared_ptr<block_dealer>& dealer)
{
    if (app.share.shards <= 0) return;
    const std::vector<grid_block> blocks = list_grid_blocks(step);
    std::vector<std::size_t> mine = shard_blocks(blocks, app.share.shard, app.share.shards);
    own.assign(static_cast<std::size_t>(shapes), 0);
    for (std::size_t b : mine)
        for (int32_t k = 0; k < blocks[b].count; ++k) own[static_cast<std::size_t>(blocks[b].first_shape - 1 + k)] = 1;
    dealer = std::make_shared<list_dealer>(std::move(mine));
}

command_outcome start_sweep(app_state& app);

}  // namespace

command_outcome generate_shapes(app_state& app)
{
    app.share.agreed = false;
    const command_outcome outcome = start_sweep(app);
    // Ranks that wait for the coordinator learn that the sweep did not start.
    if (app.share.agree && !app.share.agreed) {
        std::vector<uint8_t> none;
        app.share.agreed = true;
        app.share.agree(false, none);
    }
    return outcome;
}

namespace {

command_outcome start_sweep(app_state& app)
{
    sweep_plan plan;
    const command_outcome checked = check_shapes_fields(app, plan);
    app.step = plan.step;
    if (!checked.done) return checked;
    app.thread_count = plan.threads;

    if (!app.base || !app.reference) return {false, "generate the geosphere and load a lightcurve first"};
    if (app.sweep_running.load()) return refuse_visibly(app, "a sweep is already running: cancel it or wait for it");
    // Memory (and, unless resuming, disk) before anything is allocated.
    const std::string refusal = size_refusal(app, plan, app.resume ? 0 : plan.count.shapes);
    if (!refusal.empty()) return refuse_visibly(app, refusal);
    std::vector<shape_result> table;
    std::vector<block_fit> block_fits;
    try {
        table.resize(static_cast<std::size_t>(plan.count.shapes));
        block_fits.assign(static_cast<std::size_t>(plan.count.shapes) * blocks_of(app),
                          block_fit{std::nan(""), std::nan("")});
    } catch (const std::bad_alloc&) {
        return refuse_visibly(app, "not enough memory for the result table of " + std::to_string(plan.count.shapes) +
                                       " shapes");
    }
    // A follower writes into the folder the coordinator made ready.
    std::string why;
    if (!app.share.follower && !check_output_folder(true, why)) return refuse_visibly(app, why);

    // The previous worker has ended (one sweep at a time); reclaim its thread.
    wait_for_sweep(app);
    auto manifest = std::make_shared<run_manifest>();
    auto journal = std::make_shared<sweep_journal>();
    const run_files files = files_of_shard(app.share.shard, app.share.shards);
    std::vector<uint8_t> own;
    std::shared_ptr<block_dealer> shard_dealer;
    try {
        shard_plan(app, plan.step, plan.count.shapes, own, shard_dealer);
    } catch (const std::bad_alloc&) {
        return refuse_visibly(app, "not enough memory to plan the shard");
    }
    taken_over start;
    const bool follower = app.share.follower;
    if (!follower) {
        const command_outcome prepared =
            prepare_run(app, plan, table, block_fits, *manifest, start, *journal, files, own);
        if (!prepared.done) {
            release_sweep_lock(app);
            return prepared;
        }
    } else {
        start.finished.assign(table.size(), 0);
    }
    app.share.journal = follower ? nullptr : journal.get();
    if (app.share.agree) {
        app.share.agreed = true;
        if (!app.share.agree(true, start.finished)) {
            release_sweep_lock(app);
            return refuse_visibly(app, "the coordinating rank did not start the sweep");
        }
    }

    app.args = make_sweep_args(app.base, app.reference, used_spin(app.spin), app.step, app.thread_count);
    app.args.job.fit = plan.fit;
    app.args.job.no_curves = app.share.no_curves;
    sweep_context context;
    context.ui = app.target;
    context.cancel = &app.cancel;
    context.result_table = &app.result_table;
    context.path = app.path;
    context.journal = journal.get();
    context.finished = std::move(start.finished);
    context.block_fits = std::move(block_fits);
    context.block_ids = app.reference->blocks;
    context.dealer = shard_dealer ? shard_dealer.get() : app.share.dealer;
    context.share_only = app.share.shards > 0 || follower;
    context.gather = app.share.gather;
    context.remote_done = app.share.remote_done;
    context.table_file = follower ? "" : files.table;
    context.partial_file = follower ? "" : files.partial;
    context.fits_file = follower ? "" : files.fits;
    if (follower) context.journal = app.share.sink;
    app.sweep_running.store(true);
    try {
        app.worker = std::thread([&app, args = app.args, table = std::move(table), steps = plan.count.progress_steps,
                                  context = std::move(context), manifest, journal, shard_dealer, files,
                                  follower]() mutable {
            sweep_outcome outcome = sweep_worker(std::move(args), std::move(table), steps, std::move(context));
            journal->close();
            if (follower) {
                app.last_outcome = outcome;
                app.last_sweep_result.store(outcome.status == sweep_status::complete ? 1 : 0);
                app.sweep_running.store(false);
                return;
            }
            manifest->status = status_word(outcome.status);
            manifest->reason = outcome.reason;
            manifest->finished_shapes = outcome.finished;
            manifest->ended = utc_now();
            std::string why;
            if (!write_manifest(files.manifest, *manifest, why) && outcome.status == sweep_status::complete) {
                // The record of the run is part of its result.
                outcome.status = sweep_status::failed;
                outcome.reason = why;
                app.target->show_error(sweep_failure_text(why));
            }
            app.last_outcome = outcome;
            app.last_sweep_result.store(outcome.status == sweep_status::complete ? 1 : 0);
            release_sweep_lock(app);
            app.sweep_running.store(false);
        });
    } catch (const std::system_error&) {
        app.sweep_running.store(false);
        release_sweep_lock(app);
        return refuse_visibly(app, "cannot start the sweep thread");
    }
    return {true, ""};
}

}  // namespace
