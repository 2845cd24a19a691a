#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "app/dialog/folder_job.hpp"
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
// thread of its own (see folder_job); the window asks how far it is.
class spin_job : public folder_job<spin_end> {
public:
    using folder_job::folder_job;
    // Stops a search still running before the count it updates goes.
    ~spin_job() { stop(); }
    // Holds the working folder and starts the search of `settings` over the
    // loaded points; false with `why` when another run holds the folder or
    // no thread can start.
    bool start(const spin_search_settings& settings, std::string& why);
    // The spins fitted so far.
    int fitted() const { return fitted_.load(); }
    // Waits for the thread, gives the folder back, clears the cancel flag
    // and says how the search ended.
    spin_end collect();

private:
    std::atomic<int> fitted_{0};
};

// The search settings of the dialog's pole field: the first level at
// resolution `nside`, the command line's defaults otherwise, the first
// level's model at most the loaded geosphere's subdivisions.
spin_search_settings dialog_search_settings(int nside, int subdivisions);
