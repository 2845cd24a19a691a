#pragma once

// The spin search before a chi2 sweep (--pole-nside K): poles over the
// whole sky and periods of a scan, coarse to fine; then the sweep and the
// refinement at the spin it found.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/cli/pipeline.hpp"
#include "app/cli/refine_command.hpp"
#include "inversion/spin_search.hpp"

// The command line parser, which only the .cpp files that build it include.
namespace CLI {
class App;
}  // namespace CLI

// What the command line asks of the spin search.
struct spin_search_options {
    int nside = 0;                   // --pole-nside K (0: no search)
    std::string periods;             // --periods P0:P1[:STEP] ("": the spin's period)
    int levels = 2;                  // --pole-levels L
    int scan_subdivisions = 2;       // --scan-subdivisions N
    int carry = default_spin_carry;  // --pole-carry C
};

// Adds --pole-nside, --periods, --pole-levels, --pole-carry and
// --scan-subdivisions.
void add_spin_search_options(CLI::App& cli, spin_search_options& o);

// Checks the options before any work: the search only with --fit chi2, on
// the whole pipeline of one process; K a power of two to 64, L from 1 to 4
// with K 2^(L-1) at most 64, N from 1 to the run's subdivisions; the
// period range well formed; the other options only with --pole-nside.
// With --periods and no --period of its own, the loaded spin's period
// (with which each block's sigma is estimated) becomes the range's middle.
bool check_spin_search(const CLI::App& cli, const spin_search_options& o, field_options& f, std::string& why);

// How a process takes part in a spin search shared by several (morvane-mpi's
// ranks): its part in the pipeline, which spins it fits, the exchange of
// each level's spins, and how a text that the coordinator reads (the
// journal; whether a sweep had begun) reaches every process. Empty: one
// process does it all.
struct spin_role {
    pipeline_role pipeline;
    std::function<bool(std::size_t index)> mine;
    std::function<bool(std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped, std::string& why)>
        exchange;
    std::function<void(std::string& text)> share_text;
};

// Loads, searches (with --resume taking over the spins of the folder's
// journal of the same search), writes output/spins.txt and
// output/spin.txt, then runs
// the sweep at the best spin and the refinement with the spin free
// (--refine K, 10 starts when not given); the exit code.
int run_spin_search(const spin_search_options& o, field_options f, bool block_given, refine_request refine,
                    int refine_subdivisions, const spin_role& role);
