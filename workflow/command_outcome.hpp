#pragma once

#include <string>

#include "workflow/app_state.hpp"

// What a command did: `done` when it ran to its end; otherwise `reason`
// says why it stopped (the dialog stays silent, the command line prints it).
struct command_outcome {
    bool done = false;
    std::string reason;
    // Set when the command did not refuse its input but failed at its work
    // (a file that could not be written, memory that ran out).
    bool failed = false;
};

// Shows why a command stopped (on the status line, or the command line's
// stderr) and returns that refusal.
command_outcome refuse_visibly(app_state& app, const std::string& text, bool failed = false);
