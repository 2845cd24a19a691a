#include "app/cli/pipeline.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "app/cli/terminal_front_end.hpp"
#include "common/control_ids.hpp"
#include "runs/run_folder.hpp"
#include "runs/spin_file.hpp"
#include "runs/summary_table.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/shape_grid.hpp"
#include "workflow/fields.hpp"
#include "workflow/preflight.hpp"

app_state& the_app()
{
    static app_state app;
    return app;
}

namespace {

// The signal that asked the sweep to stop (0: none), and when (ms).
volatile std::sig_atomic_t stop_signal = 0;
std::atomic<int64_t> stop_signal_ms{0};

// Milliseconds of the monotonic clock, safe inside a signal handler.
int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Ctrl-C or SIGTERM asks a running sweep to stop, like the dialog's
// "Cancel"; a second one ends the process at once (what was journalled
// stays, and --resume continues from it). One arriving within half a second
// of the first is the same request delivered twice (timeout(1) signals the
// process and then its whole group), not a second one.
extern "C" void on_stop_signal(int sig)
{
    const int64_t now = monotonic_ms();
    if (stop_signal != 0) {
        if (now - stop_signal_ms.load() >= 500) _exit(128 + sig);
        return;
    }
    stop_signal = sig;
    stop_signal_ms.store(now);
    the_app().cancel.store(1);
}

// Routes SIGINT and SIGTERM to on_stop_signal.
void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Prints why a step or a check stopped, with the exit code it gives.
int stopped(terminal_front_end& ui, const char* program, const char* name, const command_outcome& outcome)
{
    // Printed once: a reason the controller already showed is not repeated.
    if (outcome.reason == ui.last_error()) return outcome.failed ? exit_failed : exit_refused;
    std::fprintf(stderr, "%s: %s %s: %s\n", program, name, outcome.failed ? "failed" : "refused",
                 outcome.reason.c_str());
    return outcome.failed ? exit_failed : exit_refused;
}

// Takes the spin state from a spin file ("lambda beta P" then "JD0 phi0")
// for each of the five options not given on the command line; the file's
// words become the fields' texts unchanged, so they read exactly as typed.
bool apply_spin_file(const std::string& path, const CLI::App& cli, field_options& f, std::string& why)
{
    std::string words[5];
    if (!read_spin_words(path, words, why)) return false;
    const std::pair<const char*, std::string*> fields[5] = {
        {"--lambda", &f.lambda}, {"--beta", &f.beta}, {"--period", &f.period}, {"--t0", &f.t0}, {"--phi0", &f.phi0}};
    for (int i = 0; i < 5; ++i)
        if (cli.count(fields[i].first) == 0) *fields[i].second = words[i];
    return true;
}

}  // namespace

int report_best(const char* program, const std::string& table, std::size_t count, const mesh& base, double step)
{
    std::vector<summary_row> rows;
    std::string why;
    if (!read_summary(table, count_grid(step, INT32_MAX).shapes, rows, why)) {
        std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        return exit_failed;
    }
    const std::vector<summary_row> best = best_fits(std::move(rows), count);
    std::printf("\n");
    print_best_fits(stdout, best);
    if (best.empty() || !std::isfinite(best[0].misfit)) return exit_complete;
    // The best-ranked shape as a file, welded, exactly as the sweep evaluated
    // it: its parameters from the grid, not from the table's six decimals.
    double params[param::count];
    why = "the grid has no shape " + std::to_string(best[0].shape);
    if (!shape_parameters(step, best[0].shape, params) || !write_shape_obj(base, params, "output/best.obj", why)) {
        std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        return exit_failed;
    }
    std::printf("shape %d written to output/best.obj\n", best[0].shape);
    return exit_complete;
}

void add_pipeline_options(CLI::App& cli, field_options& f, std::string& spin_file, std::string& folder)
{
    // Every core by default, within the 1 to 50 the field accepts.
    f.threads = std::to_string(default_thread_count());
    cli.add_option("--subdivisions", f.subdivisions, "subdivision passes of the geodesic sphere, 1 to 10")
        ->capture_default_str()
        ->type_name("N");
    cli.add_option("--path", f.path, "observation file")->capture_default_str()->type_name("FILE");
    cli.add_option("--lambda", f.lambda, "pole ecliptic longitude, degrees (0 to 360)")
        ->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--beta", f.beta, "pole ecliptic latitude, degrees (-90 to 90)")
        ->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--phi0", f.phi0, "initial rotation phase, degrees (0 to 360)")
        ->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--period", f.period, "sidereal rotation period, hours (> 0)")
        ->capture_default_str()
        ->type_name("HOURS");
    cli.add_option("--t0", f.t0, "epoch, Julian date (0, or 2433283 to 2524961)")
        ->capture_default_str()
        ->type_name("JD");
    cli.add_option("--step", f.step, "step size of the shape grid")->capture_default_str()->type_name("S");
    cli.add_option("--threads", f.threads, "threads of the sweep, 1 to 50")->capture_default_str()->type_name("T");
    cli.add_option("--block", f.block,
                   "load only lightcurve block K of the file, counted from 0 as the file's blocks are (the "
                   "numbering of output/samples.txt and output/fits.csv; morvane-report's --sample counts "
                   "samples from 1)")
        ->type_name("K");
    cli.add_option("--blocks", f.blocks,
                   "joint fit over these lightcurve blocks (counted from 0, as --block), each resampled and fitted "
                   "on its own: all, or a list such as 0,3,7-12")
        ->type_name("LIST");
    cli.add_option("--fit", f.fit,
                   "range: synthetic magnitudes rescaled to the reference's range, misfit the sum of squares over "
                   "samples 1 to 149 (the original fit); offset: magnitudes kept, moved by the mean difference, "
                   "misfit the mean squared difference in mag^2 over all 150 samples; either at the best cyclic "
                   "shift, and for several blocks the mean of the blocks' misfits. chi2: the model at every observed "
                   "point of the chosen blocks (every block by default), at the spin state's rotation phase, no "
                   "shift; each block its own zero point; misfit the reduced chi2, sum(w (o - m - z)^2) / (points - "
                   "blocks) with w = 1/sigma^2 (see --sigma)")
        ->type_name("MODE")
        ->check(CLI::IsMember({"range", "offset", "chi2"}))
        ->capture_default_str();
    cli.add_option("--sigma", f.sigma,
                   "chi2 fit: the uncertainty of every observed point, mag (> 0). Without it each block's is "
                   "estimated from its own scatter about a Fourier series in time with the period as fundamental "
                   "(order 0 to 6, fewer than the points allow, chosen by BIC): sqrt(RSS / (n - 2K - 1)); a block of "
                   "fewer than 4 points takes the median of the others (0.01 when none), and none is below 0.001")
        ->type_name("MAG");
    cli.add_flag("--resume", f.resume,
                 "continue the interrupted sweep of this folder: the same options, the finished shapes kept");
    cli.add_flag("--reference", f.reference,
                 "use the reference path: straightforward covering test, one thread, nothing shared");
    cli.add_option("--until", f.until, "stop after this step")
        ->check(CLI::IsMember({"geosphere", "load", "sweep"}))
        ->capture_default_str()
        ->type_name("STEP");
    cli.add_option("--best", f.best, "rows of the best-fits table")->capture_default_str()->type_name("N");

    cli.add_option("--shard", f.shard,
                   "compute only shard K of S of the grid (1 <= K <= S), for job arrays: the shard's rows go to "
                   "output/main.shard-K-of-S.txt; 'merge' joins the shards into output/main.txt")
        ->type_name("K/S");
    cli.add_flag("--no-curves", f.no_curves,
                 "write no lightcurve file per shape (output/NNNNN.lc.txt), only the tables: for big runs where "
                 "the files would fill the disk");
    cli.add_option("--spin", spin_file,
                   "spin state from FILE in the two-line layout 'lambda beta P' / 'JD0 phi0' (degrees, hours, JD), "
                   "as data/*_spin.txt; options given explicitly win")
        ->type_name("FILE");
    cli.add_option("-C", folder, "run in the working folder DIR (all files are read and written there)")
        ->type_name("DIR");
}

std::optional<int> apply_folder_and_spin(const char* program, const CLI::App& cli, field_options& f,
                                         const std::string& spin_file, const std::string& folder)
{
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "%s: -C %s: %s\n", program, folder.c_str(), std::strerror(errno));
        return exit_refused;
    }
    if (!spin_file.empty()) {
        std::string why;
        if (!apply_spin_file(spin_file, cli, f, why)) {
            std::fprintf(stderr, "%s: --spin %s\n", program, why.c_str());
            return exit_refused;
        }
    }
    return std::nullopt;
}

bool parse_shard(const std::string& text, int32_t& k, int32_t& s)
{
    int used = 0;
    if (std::sscanf(text.c_str(), "%d/%d%n", &k, &s, &used) != 2 || used != static_cast<int>(text.size())) return false;
    return k >= 1 && s >= 1 && k <= s && s <= max_shards;
}

int run_pipeline(const field_options& f, bool block_given, const pipeline_role& role)
{
    app_state& app = the_app();
    std::FILE* silent = role.quiet ? std::fopen("/dev/null", "w") : nullptr;
    terminal_front_end ui(silent ? silent : stdout, silent ? silent : stderr);
    on_init(app, &ui);
    ui.set_field(ctl::subdivisions, f.subdivisions);
    ui.set_field(ctl::path, f.path);
    ui.set_field(ctl::lambda, f.lambda);
    ui.set_field(ctl::beta, f.beta);
    ui.set_field(ctl::phi0, f.phi0);
    ui.set_field(ctl::period, f.period);
    ui.set_field(ctl::epoch, f.t0);
    ui.set_field(ctl::step_size, f.step);
    ui.set_field(ctl::threads, f.threads);
    ui.set_field(ctl::blocks, f.blocks);
    ui.set_field(ctl::fit, f.fit);
    app.only_block = f.block;
    app.path = f.reference ? sweep_path::reference : sweep_path::fast;
    app.resume = f.resume;
    app.share.no_curves = f.no_curves;
    const char* program = role.program;

    // Every option before any step writes a file.
    if (block_given && f.block < 0)
        return stopped(ui, program, "--block", {false, "the block index must be 0 or more"});
    if (block_given && !f.blocks.empty())
        return stopped(ui, program, "--blocks", {false, "give --block K or --blocks LIST, not both"});
    if (!f.shard.empty()) {
        if (!parse_shard(f.shard, app.share.shard, app.share.shards))
            return stopped(ui, program, "--shard", {false, "give the shard as K/S with 1 <= K <= S, e.g. 2/8"});
        if (f.reference)
            return stopped(ui, program, "--shard", {false, "shards take the fast path: leave out --reference"});
    }
    if (!f.sigma.empty()) {
        if (f.fit != "chi2") return stopped(ui, program, "--sigma", {false, "--sigma is for --fit chi2 only"});
        if (!parse_decimal(f.sigma, app.sigma) || !(app.sigma > 0.0) || !std::isfinite(app.sigma))
            return stopped(ui, program, "--sigma", {false, "the sigma must be a number of magnitudes greater than 0"});
    }
    if (f.reference && app.share.ranks > 0)
        return stopped(ui, program, "--reference", {false, "ranks take the fast path: leave out --reference"});
    const pipeline_end last = f.until == "geosphere" ? pipeline_end::geosphere
                              : f.until == "load"    ? pipeline_end::load
                                                     : pipeline_end::sweep;
    // Each step agreed on by every rank (one process agrees with itself).
    const auto agreed = [&](const char* step, const command_outcome& outcome, int& code) {
        std::string why;
        const bool everywhere = !role.agree_step || role.agree_step(step, outcome.done, outcome.reason, why);
        if (everywhere && outcome.done) return true;
        if (!outcome.done) {
            code = outcome.failed ? exit_failed : exit_refused;
            if (role.coordinator) code = stopped(ui, program, step, outcome);
        } else {
            // Stopped by another rank, which said why.
            code = exit_refused;
            if (role.coordinator) std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        }
        return false;
    };
    int code = exit_complete;
    if (!agreed("options", check_pipeline(app, last), code)) return code;
    if (role.coordinator) {
        std::string why;
        app.lock.use_file(files_of_shard(app.share.shard, app.share.shards).lock);
        if (!app.lock.acquire(why)) {
            // Said once, here: 3 only when another live run holds the folder,
            // a lock file that cannot be made or used is a refusal.
            std::string ignored;
            if (role.agree_step) role.agree_step("lock", false, why, ignored);
            std::fprintf(stderr, "%s: %s\n", program, why.c_str());
            return app.lock.busy() ? exit_locked : exit_refused;
        }
        if (!agreed("lock", {true, ""}, code)) return code;
    } else if (!agreed("lock", {true, ""}, code)) {
        return code;
    }

    for (auto [id, name, step] : {std::tuple{ctl::generate_geosphere, "generate geosphere", pipeline_end::geosphere},
                                  std::tuple{ctl::load_lightcurve, "load lightcurve", pipeline_end::load}}) {
        if (!agreed(name, on_command(app, id), code)) return code;
        if (last == step) return exit_complete;
    }

    catch_stop_signals();
    const command_outcome started = on_command(app, ctl::generate_shapes);
    if (!started.done)
        return role.coordinator ? stopped(ui, program, "generate shapes", started)
                                : (started.failed ? exit_failed : exit_refused);
    wait_for_sweep(app);
    const sweep_outcome& outcome = app.last_outcome;
    const run_files files = files_of_shard(app.share.shard, app.share.shards);
    switch (outcome.status) {
    case sweep_status::complete: {
        if (!role.coordinator) return exit_complete;
        if (app.share.shards > 0) {
            std::printf("shard %d of %d: %d shapes in %s; when every shard is done, 'morvane-cli merge' writes "
                        "output/main.txt\n",
                        app.share.shard, app.share.shards, outcome.finished, files.table.c_str());
            return exit_complete;
        }
        return report_best(program, files.table, f.best, *app.base, app.step);
    }
    case sweep_status::cancelled:
        if (role.coordinator)
            std::fprintf(stderr,
                         "%s: cancelled with %d of %d shapes finished (%s); --resume with the same options "
                         "continues\n",
                         program, outcome.finished, outcome.shapes, files.partial.c_str());
        return stop_exit_code();
    default:
        if (ui.last_error() != sweep_failure_text(outcome.reason))
            std::fprintf(stderr, "%s: %s\n", program, sweep_failure_text(outcome.reason).c_str());
        // Another rank's failure names its rank; say so of the coordinator's own.
        if (app.share.ranks > 0 && role.coordinator && outcome.reason.rfind("rank ", 0) != 0)
            std::fprintf(stderr, "%s: the failure was on rank 0\n", program);
        return exit_failed;
    }
}

int stop_exit_code()
{
    return 128 + (stop_signal != 0 ? static_cast<int>(stop_signal) : SIGINT);
}
