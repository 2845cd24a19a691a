#pragma once

#include <string>

#include "app/dialog/folder_job.hpp"
#include "inversion/refinement.hpp"
#include "workflow/refine_step.hpp"

// How a refinement the dialog ran ended.
struct refine_end {
    bool done = false;       // refined, and every file written
    bool cancelled = false;  // stopped by Cancel: the sweep's files are kept as they were
    std::string why;         // why it failed otherwise
    refinement_result result;
};

// The refinement after a chi2 sweep, on a thread of its own (see
// folder_job).
class refine_job : public folder_job<refine_end> {
public:
    using folder_job::folder_job;
    // Holds the working folder and starts refining its sweep with
    // `settings`; false with `why` when another run holds the folder or no
    // thread can start.
    bool start(const refine_settings& settings, std::string& why);
    // Waits for the thread, gives the folder back, clears the cancel flag
    // and says how the refinement ended.
    refine_end collect() { return take(); }
};
