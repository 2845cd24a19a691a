#pragma once

// The three steps of the dialog from the command line, shared by
// morvane-cli and morvane-mpi: the options, the signals and the run.

#include <functional>
#include <optional>
#include <string>

#include "workflow/app_state.hpp"
#include "workflow/controller.hpp"

// The command line parser, which only the .cpp files that build it include.
namespace CLI {
class App;
}  // namespace CLI

// Exit codes.
constexpr int exit_complete = 0;
constexpr int exit_failed = 1;   // the run could not produce every file
constexpr int exit_refused = 2;  // an option or the input was refused before work
constexpr int exit_locked = 3;   // another run holds the folder

// The controller's state of this process.
app_state& the_app();

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
    std::string sigma;  // the chi2 fit's sigma of every point ("": estimated per block)
    bool reference = false;
    bool resume = false;
    std::string until = "sweep";
    std::size_t best = 10;
    std::string shard;  // "K/S", or "" for the whole grid
    bool no_curves = false;
};

// Adds the pipeline's options (the dialog's fields and the run's choices)
// to `cli`; --spin and -C go to `spin_file` and `folder`.
void add_pipeline_options(CLI::App& cli, field_options& f, std::string& spin_file, std::string& folder);

// Applies -C and --spin once the options are parsed; the exit code of a
// refusal, or nothing to go on. `program` names the program in messages.
std::optional<int> apply_folder_and_spin(const char* program, const CLI::App& cli, field_options& f,
                                         const std::string& spin_file, const std::string& folder);

// How a process takes part in a run (morvane-mpi's ranks differ).
struct pipeline_role {
    const char* program = "morvane-cli";
    // Prints the best fits, writes output/best.obj and takes the folder's lock.
    bool coordinator = true;
    // Prints nothing but failures of its own.
    bool quiet = false;
    // Called by every process after each step with how it went here (and
    // why not); false (with `why`, naming the rank that stopped) stops the
    // run everywhere. Ranks agree on each step so that none waits for a
    // rank that has stopped.
    std::function<bool(const char* step, bool done, const std::string& reason, std::string& why)> agree_step;
};

// The pipeline: checks, geosphere, load, sweep, then the best fits; the
// exit code.
int run_pipeline(const field_options& f, bool block_given, const pipeline_role& role = {});

// The exit code of a run stopped by Ctrl-C or SIGTERM: 128 + the signal.
int stop_exit_code();

// Prints the best `count` rows of `table` and writes the best shape of the
// grid of `step` on `base` to output/best.obj; the exit code.
int report_best(const char* program, const std::string& table, std::size_t count, const mesh& base, double step);

// Parses "K/S" (1 <= K <= S); false when it is not that.
bool parse_shard(const std::string& text, int32_t& k, int32_t& s);
