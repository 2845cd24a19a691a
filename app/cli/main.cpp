// morvane-cli: the three steps of the dialog from the command line.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "app/summary_table.hpp"
#include "app/cli/synth.hpp"
#include "app/cli/terminal_front_end.hpp"
#include "app/controller.hpp"
#include "app/preflight.hpp"
#include "app/run_manifest.hpp"
#include "sweep/shape_export.hpp"
#include "common/control_ids.hpp"

namespace {

// The one global: the controller's state.
app_state the_app;

// Exit codes.
constexpr int exit_complete = 0;
constexpr int exit_failed = 1;    // the run could not produce every file
constexpr int exit_refused = 2;   // an option or the input was refused before work
constexpr int exit_locked = 3;    // another run holds the folder

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
    the_app.cancel.store(1);
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

// The dialog's fields, as typed on the command line.
struct field_options {
    std::string subdivisions = "3";
    std::string path = "test.zel";
    std::string lambda = "90";
    std::string beta = "90";
    std::string phi0 = "90";
    std::string period = "21.9";
    std::string t0 = "0";
    std::string step = "1";
    std::string threads;
    int block = all_blocks;
    std::string blocks;
    std::string fit = "range";
    bool reference = false;
    bool resume = false;
    std::string until = "sweep";
    std::size_t best = 10;
};

// Prints why a step or a check stopped, with the exit code it gives.
int stopped(terminal_front_end& ui, const char* name, const command_outcome& outcome)
{
    // Printed once: a reason the controller already showed is not repeated.
    if (outcome.reason == ui.last_error()) return outcome.failed ? exit_failed : exit_refused;
    std::fprintf(stderr, "morvane-cli: %s %s: %s\n", name, outcome.failed ? "failed" : "refused",
                 outcome.reason.c_str());
    return outcome.failed ? exit_failed : exit_refused;
}

// "10:0,40:30" as (phase, latitude) pairs; "" gives none.
bool parse_geometries(const std::string& text, std::vector<std::pair<double, double>>& out)
{
    out.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        double phase = 0.0, latitude = 0.0;
        int used = 0;
        if (std::sscanf(item.c_str(), "%lf:%lf%n", &phase, &latitude, &used) != 2 ||
            used != static_cast<int>(item.size()) || !(phase >= 0.0 && phase < 180.0) ||
            !(latitude >= -90.0 && latitude <= 90.0))
            return false;
        out.push_back({phase, latitude});
        at = comma + 1;
    }
    return true;
}

// Takes the spin state from a spin file ("lambda beta P" then "JD0 phi0")
// for each of the five options not given on the command line; the file's
// words become the fields' texts unchanged, so they read exactly as typed.
bool apply_spin_file(const std::string& path, const CLI::App& cli, field_options& f, std::string& why)
{
    std::FILE* in = std::fopen(path.c_str(), "r");
    if (!in) {
        why = std::strerror(errno);
        return false;
    }
    std::string words[5];
    char word[256];
    int found = 0;
    while (found < 5 && std::fscanf(in, "%255s", word) == 1) words[found++] = word;
    std::fclose(in);
    if (found < 5) {
        why = "expected 'lambda beta P' and 'JD0 phi0', found " + std::to_string(found) + " numbers";
        return false;
    }
    const std::pair<const char*, std::string*> fields[5] = {
        {"--lambda", &f.lambda}, {"--beta", &f.beta}, {"--period", &f.period}, {"--t0", &f.t0}, {"--phi0", &f.phi0}};
    for (int i = 0; i < 5; ++i)
        if (cli.count(fields[i].first) == 0) *fields[i].second = words[i];
    return true;
}

// What `morvane-cli export` takes.
struct export_options {
    int shape = 0;
    int subdivisions = 0;  // 0: from the finished run's manifest
    double step = 0.0;     // 0: from the finished run's manifest
    std::string output;    // "": shape_NNNNN.obj
};

// Writes one shape of the grid as a welded OBJ; returns the exit code.
int run_export(export_options o)
{
    if (o.subdivisions == 0 || o.step == 0.0) {
        run_manifest run;
        std::string why;
        if (!read_manifest(manifest_file, run, why)) {
            std::fprintf(stderr, "morvane-cli export: give --subdivisions and --step, or run it where a sweep ran (%s)\n",
                         why.c_str());
            return exit_refused;
        }
        if (o.subdivisions == 0) o.subdivisions = run.inputs.subdivisions;
        if (o.step == 0.0) o.step = run.inputs.step;
    }
    if (o.subdivisions < 1 || o.subdivisions > 10) {
        std::fprintf(stderr, "morvane-cli export: the subdivision count must lie between 1 and 10\n");
        return exit_refused;
    }
    double params[param::count];
    if (!(o.step > 0.0) || !shape_parameters(o.step, o.shape, params)) {
        std::fprintf(stderr, "morvane-cli export: the grid of step %g has no shape %d\n", o.step, o.shape);
        return exit_refused;
    }
    if (o.output.empty()) {
        char name[64];
        std::snprintf(name, sizeof name, "shape_%05d.obj", o.shape);
        o.output = name;
    }
    const std::shared_ptr<const mesh> base = build_base_mesh(o.subdivisions);
    std::string why;
    if (!base) why = "not enough memory for the base shape";
    if (!base || !write_shape_obj(*base, params, o.output, why)) {
        std::fprintf(stderr, "morvane-cli export: %s\n", why.c_str());
        return exit_failed;
    }
    std::printf("wrote %s: shape %d (%g %g | %g %g %g | %g)\n", o.output.c_str(), o.shape, params[1], params[2],
                params[3], params[4], params[5], params[6]);
    return exit_complete;
}

// The pipeline: checks, geosphere, load, sweep, then the best fits.
int run_pipeline(const field_options& f, bool block_given)
{
    terminal_front_end ui;
    on_init(the_app, &ui);
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
    the_app.only_block = f.block;
    the_app.path = f.reference ? sweep_path::reference : sweep_path::fast;
    the_app.resume = f.resume;

    // Every option before any step writes a file.
    if (block_given && f.block < 0) return stopped(ui, "--block", {false, "the block index must be 0 or more"});
    if (block_given && !f.blocks.empty())
        return stopped(ui, "--blocks", {false, "give --block K or --blocks LIST, not both"});
    const pipeline_end last = f.until == "geosphere" ? pipeline_end::geosphere
                              : f.until == "load"    ? pipeline_end::load
                                                     : pipeline_end::sweep;
    command_outcome checked = check_pipeline(the_app, last);
    if (!checked.done) return stopped(ui, "options", checked);
    std::string why;
    if (!the_app.lock.acquire(why)) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return exit_locked;
    }

    for (auto [id, name, step] : {std::tuple{ctl::generate_geosphere, "generate geosphere", pipeline_end::geosphere},
                                  std::tuple{ctl::load_lightcurve, "load lightcurve", pipeline_end::load}}) {
        const command_outcome outcome = on_command(the_app, id);
        if (!outcome.done) return stopped(ui, name, outcome);
        if (last == step) return exit_complete;
    }

    catch_stop_signals();
    const command_outcome started = on_command(the_app, ctl::generate_shapes);
    if (!started.done) return stopped(ui, "generate shapes", started);
    wait_for_sweep(the_app);
    const sweep_outcome& outcome = the_app.last_outcome;
    switch (outcome.status) {
    case sweep_status::complete: {
        const std::vector<summary_row> best = best_fits(read_summary("output/main.txt"), f.best);
        std::printf("\n");
        print_best_fits(stdout, best);
        if (!best.empty() && std::isfinite(best[0].misfit)) {
            // The best-ranked shape as a file, welded, as the sweep evaluated it.
            std::string why;
            if (!write_shape_obj(*the_app.base, best[0].params, "output/best.obj", why)) {
                std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
                return exit_failed;
            }
            std::printf("shape %d written to output/best.obj\n", best[0].shape);
        }
        return exit_complete;
    }
    case sweep_status::cancelled:
        std::fprintf(stderr,
                     "morvane-cli: cancelled with %d of %d shapes finished (output/main.partial.txt); "
                     "--resume with the same options continues\n",
                     outcome.finished, outcome.shapes);
        return 128 + (stop_signal != 0 ? static_cast<int>(stop_signal) : SIGINT);
    default:
        if (ui.last_error() != sweep_failure_text(outcome.reason))
            std::fprintf(stderr, "morvane-cli: %s\n", sweep_failure_text(outcome.reason).c_str());
        return exit_failed;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App cli{"Morvane: fit two-lobed asteroid shapes to a lightcurve.\n"
                 "Runs Generate Geosphere, GO! and Generate Shapes in order, with the dialog's fields as options."};
    cli.footer("Files, in the working folder: basic_shape_N.obj (the base shape); ref_lc.txt and\n"
               "ref_lc_interpolated.txt (the observations and their 150 samples per block, time magnitude);\n"
               "output/NNNNN.lc.txt (each shape's lightcurve, time brightness); output/main.txt (one row per shape:\n"
               "shape x_scale_1 y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift best_shift misfit);\n"
               "output/fits.csv (each block's fit); output/best.obj (the best shape); output/run.json (the run's\n"
               "record); output/samples.txt (the samples fitted, with their geometry, for morvane-report).\n"
               "The misfit compares the synthetic magnitudes with the reference at the best cyclic shift:\n"
               "see --fit. Lower is better. Figures of a finished run: morvane-report FOLDER.\n\n"
               "Exit codes: 0 complete; 1 failed (a file could not be written, memory ran out, no finite misfit);\n"
               "2 an option or the input was refused before any work; 3 another run holds this folder;\n"
               "130 / 143 cancelled by Ctrl-C / SIGTERM (continue with --resume).");
    field_options f;
    // Every core by default, within the 1 to 50 the field accepts.
    f.threads = std::to_string(std::clamp(std::thread::hardware_concurrency(), 1u, 50u));
    cli.add_option("--subdivisions", f.subdivisions, "subdivision passes of the geodesic sphere, 1 to 10")
        ->capture_default_str()
        ->type_name("N");
    cli.add_option("--path", f.path, "observation file")->capture_default_str()
        ->type_name("FILE");
    cli.add_option("--lambda", f.lambda, "pole ecliptic longitude, degrees (0 to 360)")->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--beta", f.beta, "pole ecliptic latitude, degrees (-90 to 90)")->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--phi0", f.phi0, "initial rotation phase, degrees (0 to 360)")->capture_default_str()
        ->type_name("DEG");
    cli.add_option("--period", f.period, "sidereal rotation period, hours (> 0)")->capture_default_str()
        ->type_name("HOURS");
    cli.add_option("--t0", f.t0, "epoch, Julian date (0, or 2433283 to 2524961)")->capture_default_str()
        ->type_name("JD");
    cli.add_option("--step", f.step, "step size of the shape grid")->capture_default_str()
        ->type_name("S");
    cli.add_option("--threads", f.threads, "threads of the sweep, 1 to 50")->capture_default_str()
        ->type_name("T");
    cli.add_option("--block", f.block, "load only lightcurve block K (0-based) of the file")
        ->type_name("K");
    cli.add_option("--blocks", f.blocks,
                   "joint fit over these lightcurve blocks, each resampled and fitted on its own: all, or a list "
                   "such as 0,3,7-12")
        ->type_name("LIST");
    cli.add_option("--fit", f.fit,
                   "range: synthetic magnitudes rescaled to the reference's range, misfit the sum of squares over "
                   "samples 1 to 149 (the original fit); offset: magnitudes kept, moved by the mean difference, "
                   "misfit the mean squared difference in mag^2 over all 150 samples; either at the best cyclic "
                   "shift, and for several blocks the mean of the blocks' misfits")
        ->type_name("MODE")
        ->check(CLI::IsMember({"range", "offset"}))
        ->capture_default_str();
    cli.add_flag("--resume", f.resume,
                 "continue the interrupted sweep of this folder: the same options, the finished shapes kept");
    cli.add_flag("--reference", f.reference,
                 "use the reference path: straightforward covering test, one thread, nothing shared");
    cli.add_option("--until", f.until, "stop after this step")
        ->check(CLI::IsMember({"geosphere", "load", "sweep"}))
        ->capture_default_str()
        ->type_name("STEP");
    cli.add_option("--best", f.best, "rows of the best-fits table")->capture_default_str()
        ->type_name("N");

    synth_options s;
    CLI::App* synth = cli.add_subcommand("synth", "write an observation file computed from a chosen shape");
    synth->add_option("--output", s.output, "file to write")->capture_default_str()->type_name("FILE");
    synth->add_option("--subdivisions", s.subdivisions, "subdivision passes, 1 to 7")->capture_default_str()->type_name("N");
    std::vector<double> shape(std::begin(s.shape), std::end(s.shape));
    synth->add_option("--shape", shape, "y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift")
        ->expected(6)
        ->delimiter(',')
        ->type_name("SCALE");
    synth->add_option("--lambda", s.lambda_deg, "pole ecliptic longitude, degrees")->capture_default_str()->type_name("DEG");
    synth->add_option("--beta", s.beta_deg, "pole ecliptic latitude, degrees")->capture_default_str()->type_name("DEG");
    synth->add_option("--phi0", s.phi0_deg, "initial rotation phase, degrees")->capture_default_str()->type_name("DEG");
    synth->add_option("--period", s.period_hours, "sidereal period, hours")->capture_default_str()->type_name("HOURS");
    synth->add_option("--t0", s.t0, "epoch, Julian date")->capture_default_str()->type_name("JD");
    synth->add_option("--phase-angle", s.phase_deg, "sun-body-earth angle, degrees")->capture_default_str()->type_name("DEG");
    synth->add_option("--start", s.start, "Julian date of the first observation")->capture_default_str()->type_name("JD");
    synth->add_option("--hours", s.hours, "time span of the observations, hours")->capture_default_str()->type_name("HOURS");
    synth->add_option("--points", s.points, "number of observations (per block)")->capture_default_str()->type_name("COUNT");
    std::string geometries;
    synth->add_option("--blocks-geometry", geometries,
                      "one block per PHASE:LATITUDE (degrees: phase angle, sub-earth latitude from the pole's "
                      "equator), e.g. 10:0,40:30,70:-20; each block over --hours, 30 days apart")
        ->type_name("PHASE:LAT,...");

    export_options e;
    CLI::App* exporter =
        cli.add_subcommand("export", "write one shape of the grid, as the sweep evaluated it, as a welded OBJ file");
    exporter->add_option("--shape", e.shape, "shape number N (1-based, as in output/main.txt)")->required()->type_name("N");
    exporter->add_option("--subdivisions", e.subdivisions, "subdivision passes (default: the finished run's)")->type_name("N");
    exporter->add_option("--step", e.step, "step of the grid (default: the finished run's)")->type_name("STEP");
    exporter->add_option("--output", e.output, "file to write (default: shape_NNNNN.obj)")->type_name("FILE");

    cli.set_version_flag("--version", std::string("morvane-cli ") + program_version());
    std::string spin_file, folder;
    cli.add_option("--spin", spin_file,
                   "spin state from FILE in the two-line layout 'lambda beta P' / 'JD0 phi0' (degrees, hours, JD), "
                   "as data/*_spin.txt; options given explicitly win")
        ->type_name("FILE");
    cli.add_option("-C", folder, "run in the working folder DIR (all files are read and written there)")
        ->type_name("DIR");

    CLI11_PARSE(cli, argc, argv);
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "morvane-cli: -C %s: %s\n", folder.c_str(), std::strerror(errno));
        return exit_refused;
    }
    if (exporter->parsed()) return run_export(e);
    if (!spin_file.empty()) {
        std::string why;
        if (!apply_spin_file(spin_file, cli, f, why)) {
            std::fprintf(stderr, "morvane-cli: --spin %s: %s\n", spin_file.c_str(), why.c_str());
            return exit_refused;
        }
    }
    if (synth->parsed()) {
        std::copy(shape.begin(), shape.end(), s.shape);
        if (!parse_geometries(geometries, s.geometries)) {
            std::fprintf(stderr, "morvane-cli synth: --blocks-geometry takes PHASE:LATITUDE[,PHASE:LATITUDE...]\n");
            return exit_refused;
        }
        std::string failure = run_synth(s);
        if (!failure.empty()) {
            std::fprintf(stderr, "morvane-cli synth: %s\n", failure.c_str());
            return 2;
        }
        std::printf("wrote %s\n", s.output.c_str());
        return 0;
    }
    return run_pipeline(f, cli.count("--block") > 0);
}
