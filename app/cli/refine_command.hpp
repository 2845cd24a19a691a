#pragma once

// The refinement after a chi2 sweep (--refine K): the best grid rows
// refined in the continuous model space, the acceptable set around the best
// model and the jackknife over the blocks.

#include <string>
#include <vector>

#include "app/cli/pipeline.hpp"
#include "inversion/objective.hpp"
#include "workflow/app_state.hpp"

// The command line parser, which only the .cpp files that build it include.
namespace CLI {
class App;
}  // namespace CLI

// What the command line asks of the refinement.
struct refine_request {
    int starts = 0;                       // --refine K (0: none)
    std::string subdivisions;             // --refine-subdivisions N ("": the sweep's)
    bool spin = false;                    // --refine-spin
    double effort = 1.0;                  // --refine-effort F
    const char* program = "morvane-cli";  // the messages' prefix
    std::vector<scored_point> known;      // models of known chi2 (refine_settings::known)
};

// Adds --refine, --refine-spin and --refine-subdivisions to `cli`.
void add_refine_options(CLI::App& cli, refine_request& r);

// Checks the refinement's options against the run's before any work:
// --refine only with --fit chi2, K >= 1, the subdivisions 1 to 10, no
// shard and the whole pipeline; the other three only with --refine or a
// spin search in one process (--pole-nside without --shard, which refines
// after its sweep). Fills
// `subdivisions` (the sweep's when not given). False with `why`.
bool check_refine_request(const CLI::App& cli, const refine_request& r, const field_options& f, int& subdivisions,
                          std::string& why);

// Refines after the complete chi2 sweep held by `app`: writes
// output/refined.txt, output/best.obj (the refined best), output/uncertainty.json
// and the refinement's record in output/run.json, and prints the best
// model; the exit code.
int run_refinement(const refine_request& r, int subdivisions, app_state& app);
