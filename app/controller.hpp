#pragma once

#include <string>

#include "app/app_state.hpp"
#include "common/status_ops.hpp"

// What a command did: `done` when it ran to its end; otherwise `reason`
// says why it stopped (the dialog stays silent, the command line prints it).
struct command_outcome {
    bool done = false;
    std::string reason;
    // Set when the command did not refuse its input but failed at its work
    // (a file that could not be written, memory that ran out).
    bool failed = false;
};

// Holds the working folder for the length of one command that writes files
// there, unless this controller holds it already (for a sweep, or for the
// command line's whole run); `why` says which run holds it otherwise.
class folder_hold {
public:
    explicit folder_hold(app_state& app);
    ~folder_hold();
    folder_hold(const folder_hold&) = delete;
    folder_hold& operator=(const folder_hold&) = delete;
    bool refused() const { return !why.empty(); }
    std::string why;

private:
    app_state& app_;
    bool taken_ = false;
};

// Shows why a command stopped (on the status line, or the command line's
// stderr) and returns that refusal.
command_outcome refuse_visibly(app_state& app, const std::string& text, bool failed = false);

// Records the status target and clears the cancel flag.
void on_init(app_state& app, status_ops* target);

// Dispatches a command by control id; unknown ids are ignored.
command_outcome on_command(app_state& app, int id);

// The individual commands.
command_outcome generate_geosphere(app_state& app);
command_outcome load_lightcurve(app_state& app);
command_outcome generate_shapes(app_state& app);
void cancel_sweep(app_state& app);

// Builds the refined sphere of n subdivisions and its twin, in memory only;
// null when memory ran out.
std::shared_ptr<const mesh> build_base_mesh(int n);

// Waits until the running sweep (if any) has ended.
void wait_for_sweep(app_state& app);

// True when a close command (1 or 2) should end the front end.
bool is_close_command(int id);
