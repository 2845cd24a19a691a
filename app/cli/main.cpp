// morvane-cli: the three steps of the dialog from the command line.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/best_fits.hpp"
#include "app/cli/synth.hpp"
#include "app/cli/terminal_front_end.hpp"
#include "app/controller.hpp"
#include "common/control_ids.hpp"

namespace {

// The one global: the controller's state.
app_state the_app;

// Ctrl-C asks a running sweep to stop, like the dialog's "Cancel".
extern "C" void on_interrupt(int)
{
    the_app.cancel.store(1);
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
    int block = -1;
    bool reference = false;
    std::string until = "sweep";
    std::size_t best = 10;
};

// Runs one command; prints its reason and returns false when it stopped.
bool run_step(int id, const char* name)
{
    command_outcome outcome = on_command(the_app, id);
    if (!outcome.done) std::fprintf(stderr, "morvane-cli: %s refused: %s\n", name, outcome.reason.c_str());
    return outcome.done;
}

// The pipeline: geosphere, load, sweep, then the best fits.
int run_pipeline(const field_options& f)
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
    the_app.only_block = f.block;
    the_app.path = f.reference ? sweep_path::reference : sweep_path::fast;

    if (!run_step(ctl::generate_geosphere, "generate geosphere")) return 2;
    if (f.until == "geosphere") return 0;
    if (!run_step(ctl::load_lightcurve, "load lightcurve")) return 2;
    if (f.until == "load") return 0;

    std::signal(SIGINT, on_interrupt);
    if (!run_step(ctl::generate_shapes, "generate shapes")) return 2;
    wait_for_sweep(the_app);
    std::signal(SIGINT, SIG_DFL);
    if (the_app.last_sweep_result.load() != 1) {
        std::fprintf(stderr, "morvane-cli: the sweep ended without a summary file\n");
        return 1;
    }
    std::printf("\n");
    print_best_fits(stdout, best_fits(read_summary("output/main.txt"), f.best));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App cli{"Morvane: fit two-lobed asteroid shapes to a lightcurve.\n"
                 "Runs Generate Geosphere, GO! and Generate Shapes in order, with the dialog's fields as options."};
    field_options f;
    // Every core by default, within the 1 to 50 the field accepts.
    f.threads = std::to_string(std::clamp(std::thread::hardware_concurrency(), 1u, 50u));
    cli.add_option("--subdivisions", f.subdivisions, "subdivision passes of the geodesic sphere, 1 to 10")
        ->capture_default_str();
    cli.add_option("--path", f.path, "observation file")->capture_default_str();
    cli.add_option("--lambda", f.lambda, "pole ecliptic longitude, degrees (0 to 360)")->capture_default_str();
    cli.add_option("--beta", f.beta, "pole ecliptic latitude, degrees (-90 to 90)")->capture_default_str();
    cli.add_option("--phi0", f.phi0, "initial rotation phase, degrees (0 to 360)")->capture_default_str();
    cli.add_option("--period", f.period, "sidereal rotation period, hours (> 0)")->capture_default_str();
    cli.add_option("--t0", f.t0, "epoch, Julian date (0, or 2433283 to 2524961)")->capture_default_str();
    cli.add_option("--step", f.step, "step size of the shape grid")->capture_default_str();
    cli.add_option("--threads", f.threads, "threads of the sweep, 1 to 50")->capture_default_str();
    cli.add_option("--block", f.block, "load only lightcurve block K (0-based) of the file");
    cli.add_flag("--reference", f.reference,
                 "use the reference path: straightforward covering test, one thread, nothing shared");
    cli.add_option("--until", f.until, "stop after this step")
        ->check(CLI::IsMember({"geosphere", "load", "sweep"}))
        ->capture_default_str();
    cli.add_option("--best", f.best, "rows of the best-fits table")->capture_default_str();

    synth_options s;
    CLI::App* synth = cli.add_subcommand("synth", "write an observation file computed from a chosen shape");
    synth->add_option("--output", s.output, "file to write")->capture_default_str();
    synth->add_option("--subdivisions", s.subdivisions, "subdivision passes, 1 to 7")->capture_default_str();
    std::vector<double> shape(std::begin(s.shape), std::end(s.shape));
    synth->add_option("--shape", shape, "y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift")
        ->expected(6)
        ->delimiter(',');
    synth->add_option("--lambda", s.lambda_deg, "pole ecliptic longitude, degrees")->capture_default_str();
    synth->add_option("--beta", s.beta_deg, "pole ecliptic latitude, degrees")->capture_default_str();
    synth->add_option("--phi0", s.phi0_deg, "initial rotation phase, degrees")->capture_default_str();
    synth->add_option("--period", s.period_hours, "sidereal period, hours")->capture_default_str();
    synth->add_option("--t0", s.t0, "epoch, Julian date")->capture_default_str();
    synth->add_option("--phase-angle", s.phase_deg, "sun-body-earth angle, degrees")->capture_default_str();
    synth->add_option("--start", s.start, "Julian date of the first observation")->capture_default_str();
    synth->add_option("--hours", s.hours, "time span of the observations, hours")->capture_default_str();
    synth->add_option("--points", s.points, "number of observations")->capture_default_str();

    CLI11_PARSE(cli, argc, argv);
    if (synth->parsed()) {
        std::copy(shape.begin(), shape.end(), s.shape);
        std::string failure = run_synth(s);
        if (!failure.empty()) {
            std::fprintf(stderr, "morvane-cli synth: %s\n", failure.c_str());
            return 2;
        }
        std::printf("wrote %s\n", s.output.c_str());
        return 0;
    }
    return run_pipeline(f);
}
