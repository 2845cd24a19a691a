#pragma once

#include <string>

#include "common/status_ops.hpp"
#include "workflow/app_state.hpp"
#include "workflow/command_outcome.hpp"

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

// Records the status target and clears the cancel flag.
void on_init(app_state& app, status_ops* target);

// Dispatches a command by control id; unknown ids are ignored.
command_outcome on_command(app_state& app, int id);

// The individual commands.
command_outcome generate_geosphere(app_state& app);
command_outcome load_lightcurve(app_state& app);
command_outcome generate_shapes(app_state& app);
void cancel_sweep(app_state& app);

// Waits until the running sweep (if any) has ended.
void wait_for_sweep(app_state& app);

// True when a close command (1 or 2) should end the front end.
bool is_close_command(int id);
