#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "workflow/app_state.hpp"
#include "workflow/controller.hpp"
#include "workflow/spin_step.hpp"

// How a pole search the dialog ran ended.
struct spin_end {
    bool done = false;       // searched, and output/spins.txt and output/spin.txt written
    bool cancelled = false;  // stopped by Cancel
    std::string why;         // why it failed otherwise
    spin_search_settings settings;
    std::vector<double> periods;
    spin_search_result result;
};

// The pole search before a chi2 sweep (morvane-cli --pole-nside K), on a
// thread of its own so that the window answers while it runs; Cancel stops
// it through app.cancel. Like the refinement's job, the thread never calls
// the window: the window asks how far it is and collects the end.
class spin_job {
public:
    explicit spin_job(app_state& app) : app_(app) {}
    spin_job(const spin_job&) = delete;
    spin_job& operator=(const spin_job&) = delete;
    // Stops a search still running and waits for it.
    ~spin_job();

    // Holds the working folder and starts the search of `settings` over the
    // loaded points; false with `why` when another run holds the folder or
    // no thread can start.
    bool start(const spin_search_settings& settings, std::string& why);
    // Started and not yet collected.
    bool running() const { return started_; }
    // The thread's work is done: collect() returns at once.
    bool finished() const { return finished_.load(); }
    // The spins fitted so far.
    int fitted() const { return fitted_.load(); }
    // Waits for the thread, gives the folder back, clears the cancel flag
    // and says how the search ended.
    spin_end collect();
    // Asks a running search to stop and waits for it.
    void stop();

private:
    void run();

    app_state& app_;
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> finished_{false};
    std::atomic<int> fitted_{0};
    std::optional<folder_hold> hold_;
    spin_end end_;
};

// The search settings of the dialog's pole field: the first level at
// resolution `nside`, the command line's defaults otherwise, the first
// level's model at most the loaded geosphere's subdivisions.
spin_search_settings dialog_search_settings(int nside, int subdivisions);
