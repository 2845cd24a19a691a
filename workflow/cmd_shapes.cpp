#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>

#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "lightcurve/sample_file.hpp"
#include "runs/run_checks.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"
#include "runs/shard_plan.hpp"
#include "runs/summary_table.hpp"
#include "workflow/controller.hpp"
#include "workflow/preflight.hpp"

namespace {

// The inputs of a sweep as the manifest records them.
run_inputs inputs_of(const app_state& app, const sweep_plan& plan)
{
    return sweep_inputs(app, app.obs_path, app.obs_sha256, app.spin, app.block_list, app.subdivisions, plan);
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
    return reference_blocks(*app.reference);
}

// The points of each block of a chi2 fit's reference (none for samples).
std::vector<int32_t> block_points(const ref_curve& ref)
{
    std::vector<int32_t> points;
    for (std::size_t b = 0; b + 1 < ref.block_starts.size(); ++b)
        points.push_back(ref.block_starts[b + 1] - ref.block_starts[b]);
    return points;
}

// Gives the folder back when the sweep took it.
void release_sweep_lock(app_state& app)
{
    if (app.sweep_owns_lock) app.lock.release();
    app.sweep_owns_lock = false;
}

// The refusal of a sweep that would not fit the machine or the folder, with
// `new_files` lightcurve files still to write (none without curves); ""
// when it fits.
std::string size_refusal(const app_state& app, const sweep_plan& plan, int64_t new_files)
{
    return sweep_size_refusal(plan, app.subdivisions, app.base, app.reference, used_spin(app.spin),
                              app.share.no_curves ? 0 : new_files);
}

// Everything between the checks and the worker: the lock, the folder made
// to describe this run only, the journal and the manifest, in an order
// that a stop at any point leaves no journal of another run under this
// run's manifest. Fills `start`.
command_outcome prepare_run(app_state& app, const sweep_plan& plan, sweep_request& request, run_manifest& manifest,
                            taken_over& start, sweep_journal& journal, const run_files& files,
                            const std::vector<uint8_t>& own)
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
        if (!take_over_run(manifest.inputs, request.table, request.block_fits, blocks_of(app), start, why, files))
            return refuse_visibly(app, why);
        if (!start.note.empty()) app.target->show_warning(start.note);
        // The disk, now that the files kept are known (a fresh run's was
        // checked with the memory).
        why = size_refusal(app, plan, plan.count.shapes - start.kept);
        if (!why.empty()) return refuse_visibly(app, why);
    } else {
        start.finished.assign(request.table.size(), 0);
        if (!new_run_id(start.run_id, why)) return refuse_visibly(app, why);
    }
    // The journal is opened before anything of the previous run is removed,
    // so that a journal that cannot be written leaves the folder as it was.
    if (!journal.open(files.journal, why)) return refuse_visibly(app, why);
    if (!clear_run_folder(start.finished, why, files, own)) return refuse_visibly(app, why);
    manifest.run_id = start.run_id;
    manifest.threads = plan.threads;
    manifest.sweep_path = app.path == sweep_path::fast ? "fast" : "reference";
    manifest.version = program_version();
    manifest.load_warnings = app.load_warnings;
    manifest.shapes = plan.count.shapes;
    manifest.progress_steps = plan.count.progress_steps;
    manifest.resumed_shapes = start.kept;
    manifest.finished_shapes = start.kept;
    manifest.started = utc_now();
    manifest.status = "running";
    // The journal is made this run's (on disk) before the manifest names the
    // run: a stop between the two leaves a manifest whose journal is not its
    // own, and a resume keeps nothing of a journal that names another run.
    if (!journal.start(start.run_id, start.journal_bytes, why)) return refuse_visibly(app, why);
    if (!write_manifest(files.manifest, manifest, why)) return refuse_visibly(app, why);
    if (!write_sample_file(sample_file, *app.reference, app.observations, why)) {
        manifest.status = "failed";
        manifest.reason = why;
        manifest.ended = utc_now();
        std::string ignored;
        write_manifest(files.manifest, manifest, ignored);
        return refuse_visibly(app, why);
    }
    return {true, ""};
}

// Writes what a sweep that ended leaves in its files: the table and the
// block fits of a walk that ran to its end (a share writes the rows it
// holds; the chi2 fit, with each block's points, its own block table), the
// partial table of one that ended early; false with `why` when a file
// could not be written.
bool write_sweep_tables(const sweep_result& result, const run_files& files, const std::vector<int32_t>& block_ids,
                        const std::vector<int32_t>& points, bool share_only, std::string& why)
{
    const int32_t shapes = result.outcome.shapes;
    if (!result.outcome.walked) {
        // What was finished stays readable without resuming.
        write_summary(files.partial, result.table.data(), shapes, result.finished.data(), why);
        return true;
    }
    const uint8_t* only = share_only ? result.finished.data() : nullptr;
    if (!write_summary(files.table, result.table.data(), shapes, only, why)) return false;
    if (block_ids.empty()) return true;
    if (!points.empty())
        return write_chi2_fits(files.fits, result.block_fits.data(), shapes, block_ids, points, only, why);
    return write_block_fits(files.fits, result.block_fits.data(), shapes, block_ids, only, why);
}

// Shows how a sweep ended: the bar back to 0, then "aborted by user", the
// failure, or the shapes and the time they took, with the step.
void show_sweep_end(status_ops& ui, const sweep_outcome& outcome, double seconds, double step)
{
    ui.set_progress(0);
    char text[200];
    switch (outcome.status) {
    case sweep_status::cancelled: ui.set_item_text(ctl::status_line, "aborted by user"); return;
    case sweep_status::failed: ui.show_error(sweep_failure_text(outcome.reason)); return;
    case sweep_status::complete: break;
    }
    // A sweep faster than the clock's tick is timed as one tick, so that the
    // rate stays finite.
    const double timed = seconds > 0.0 ? seconds : 0.001;
    std::snprintf(text, sizeof text, "generated and compared %i shapes in %.3f seconds (%.3f shapes/sec)",
                  outcome.shapes, seconds, static_cast<double>(outcome.shapes) / timed);
    ui.set_item_text(ctl::status_line, text);
    std::snprintf(text, sizeof text, "Step Size: %f", step);
    ui.set_item_text(ctl::step_size_label, text);
}

// Everything the sweep's thread needs beyond the request.
struct sweep_run {
    sweep_sinks sinks;
    std::shared_ptr<run_manifest> manifest;
    std::shared_ptr<sweep_journal> journal;
    std::shared_ptr<block_dealer> shard_dealer;
    run_files files;
    std::vector<int32_t> block_ids;  // the file's numbers of a joint fit's blocks
    std::vector<int32_t> points;     // the chi2 fit's points per block (empty for other fits)
    bool follower = false;
    bool share_only = false;
};

// The body of the sweep's thread: says how many shapes it compares, runs
// the sweep, writes its tables and its record, and shows how it ended.
sweep_outcome sweep_worker(app_state& app, sweep_request request, sweep_run& run)
{
    status_ops& ui = *app.target;
    char text[200];
    std::snprintf(text, sizeof text, "generating and comparing %i shapes...",
                  static_cast<int32_t>(request.table.size()));
    ui.set_item_text(ctl::status_line, text);
    const int64_t start = clock_ms();
    const double step = request.args.step;
    sweep_result result = run_sweep(std::move(request), run.sinks);
    sweep_outcome outcome = result.outcome;
    std::string why;
    if (!run.follower && !write_sweep_tables(result, run.files, run.block_ids, run.points, run.share_only, why)) {
        outcome.status = sweep_status::failed;
        outcome.reason = why;
    }
    result = {};
    show_sweep_end(ui, outcome, static_cast<double>(clock_ms() - start) / 1000.0, step);
    run.journal->close();
    if (run.follower) return outcome;
    run_manifest& manifest = *run.manifest;
    manifest.status = status_word(outcome.status);
    manifest.reason = outcome.reason;
    manifest.finished_shapes = outcome.finished;
    manifest.ended = utc_now();
    if (!write_manifest(run.files.manifest, manifest, why) && outcome.status == sweep_status::complete) {
        // The record of the run is part of its result.
        outcome.status = sweep_status::failed;
        outcome.reason = why;
        ui.show_error(sweep_failure_text(why));
    }
    return outcome;
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
    // The chi2 fit takes the observed points, the others the samples: the
    // load made one or the other.
    if ((plan.fit == fit_mode::chi2) != observed_points(*app.reference))
        return refuse_visibly(app, std::string("the lightcurve was loaded for another fit than ") +
                                       fit_mode_name(plan.fit) + ": load it again");
    if (app.sweep_running.load()) return refuse_visibly(app, "a sweep is already running: cancel it or wait for it");
    // Memory (and, unless resuming, disk) before anything is allocated.
    const std::string refusal = size_refusal(app, plan, app.resume ? 0 : plan.count.shapes);
    if (!refusal.empty()) return refuse_visibly(app, refusal);
    app.args = make_sweep_args(app.base, app.reference, used_spin(app.spin), app.step, app.thread_count);
    app.args.job.fit = plan.fit;
    app.args.job.no_curves = app.share.no_curves;
    sweep_request request = make_sweep_request(app.args, plan.count, app.path);
    // A follower writes into the folder the coordinator made ready.
    std::string why;
    if (!app.share.follower && !check_output_folder(true, why)) return refuse_visibly(app, why);

    // The previous worker has ended (one sweep at a time); reclaim its thread.
    wait_for_sweep(app);
    sweep_run run;
    run.manifest = std::make_shared<run_manifest>();
    run.journal = std::make_shared<sweep_journal>();
    run.files = files_of_shard(app.share.shard, app.share.shards);
    run.follower = app.share.follower;
    run.share_only = app.share.shards > 0 || run.follower;
    const shard_plan shard = plan_shard(plan.step, plan.count.shapes, app.share.shard, app.share.shards);
    run.shard_dealer = shard.dealer;
    taken_over start;
    if (!run.follower) {
        const command_outcome prepared =
            prepare_run(app, plan, request, *run.manifest, start, *run.journal, run.files, shard.own);
        if (!prepared.done) {
            release_sweep_lock(app);
            return prepared;
        }
    } else {
        start.finished.assign(request.table.size(), 0);
    }
    app.share.journal = run.follower ? nullptr : run.journal.get();
    if (app.share.agree) {
        app.share.agreed = true;
        if (!app.share.agree(true, start.finished)) {
            release_sweep_lock(app);
            return refuse_visibly(app, "the coordinating rank did not start the sweep");
        }
    }

    request.finished = std::move(start.finished);
    request.share_only = run.share_only;
    run.block_ids = app.reference->blocks;
    run.points = block_points(*app.reference);
    sweep_sinks& sinks = run.sinks;
    sinks.ui = app.target;
    sinks.cancel = &app.cancel;
    sinks.published = &app.result_table;
    sinks.journal = run.follower ? app.share.sink : run.journal.get();
    sinks.dealer = run.shard_dealer ? run.shard_dealer.get() : app.share.dealer;
    sinks.gather = app.share.gather;
    sinks.remote_done = app.share.remote_done;
    app.sweep_running.store(true);
    try {
        app.worker = std::thread([&app, request = std::move(request), run = std::move(run)]() mutable {
            // The entry of the sweep's thread: out of memory fails the sweep here.
            sweep_outcome outcome;
            try {
                outcome = sweep_worker(app, std::move(request), run);
            } catch (const std::bad_alloc&) {
                outcome.reason = "not enough memory to finish the sweep";
                app.target->show_error(sweep_failure_text(outcome.reason));
            }
            app.last_outcome = outcome;
            app.last_sweep_result.store(outcome.status == sweep_status::complete ? 1 : 0);
            if (!run.follower) release_sweep_lock(app);
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
