#pragma once

// The refinement after a complete chi2 sweep, with the files it writes:
// the same for the command line, the dialog and morvane-mpi.

#include <string>

#include "inversion/refinement.hpp"
#include "workflow/app_state.hpp"

// What to refine.
struct refine_settings {
    int starts = 0;        // K, the grid rows of distinct regions refined from
    int subdivisions = 0;  // of the refinement's model (0: the sweep's)
    bool spin = false;     // lambda, beta and the period refined too
    refine_budget budget;
    // Models of known chi2 at the run's own subdivisions (a spin search's
    // spins): they count in the acceptable set when the refinement's model
    // is the run's.
    std::vector<scored_point> known;
};

// Refines after the complete chi2 sweep of `app`'s folder (its output/main.txt,
// on app.thread_count threads, stopped by app.cancel) and writes
// output/refined.txt, output/best.obj (the refined best, exactly as
// evaluated), output/uncertainty.json and the refinement's record in
// output/run.json. Fills `out`; false with `why` ("stopped" after a stop
// request) when it could not refine or write.
bool refine_and_write(app_state& app, const refine_settings& settings, refinement_result& out, std::string& why);
