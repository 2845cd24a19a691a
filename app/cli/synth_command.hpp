#pragma once

#include <string>
#include <vector>

#include "app/cli/synth.hpp"

// The command line parser, which only the .cpp files that build it include.
namespace CLI {
class App;
}  // namespace CLI

// `morvane-cli synth` as typed: the options bound to the subcommand, the
// ones checked after parsing kept as text.
struct synth_command {
    CLI::App* app = nullptr;
    synth_options options;
    std::vector<double> shape;
    std::string geometries;
    // lambda, beta, period, t0, phi0 as typed (or their defaults).
    std::string spin[5] = {"90", "90", "21.9", "0", "90"};
    std::string spin_file;
    std::string blocks;
    std::string noise;
    std::string seed;
};

// Adds the `synth` subcommand to `cli`, its options bound to `c`.
void add_synth_command(CLI::App& cli, synth_command& c);

// Runs a parsed synth command: the exit code (2 for a refusal, with its
// reason on stderr, before anything is written; 1 when the file could not
// be made).
int run_synth_command(synth_command& c);
