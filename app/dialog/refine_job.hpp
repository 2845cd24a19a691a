#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "inversion/refinement.hpp"
#include "workflow/app_state.hpp"
#include "workflow/controller.hpp"
#include "workflow/refine_step.hpp"

// How a refinement the dialog ran ended.
struct refine_end {
    bool done = false;       // refined, and every file written
    bool cancelled = false;  // stopped by Cancel: the sweep's files are kept as they were
    std::string why;         // why it failed otherwise
    refinement_result result;
};

// The refinement after a chi2 sweep, on a thread of its own so that the
// window answers while it runs; Cancel stops it through app.cancel. The
// thread never calls the window: the window asks finished() and collects
// the end, so it can always wait for the thread.
class refine_job {
public:
    explicit refine_job(app_state& app) : app_(app) {}
    refine_job(const refine_job&) = delete;
    refine_job& operator=(const refine_job&) = delete;
    // Stops a refinement still running and waits for it.
    ~refine_job();

    // Holds the working folder and starts refining its sweep with
    // `settings`; false with `why` when another run holds the folder or no
    // thread can start.
    bool start(const refine_settings& settings, std::string& why);
    // Started and not yet collected.
    bool running() const { return started_; }
    // The thread's work is done: collect() returns at once.
    bool finished() const { return finished_.load(); }
    // Waits for the thread, gives the folder back, clears the cancel flag
    // and says how the refinement ended.
    refine_end collect();
    // Asks a running refinement to stop and waits for it (collect() then
    // says it was cancelled).
    void stop();

private:
    void run(const refine_settings& settings);

    app_state& app_;
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> finished_{false};
    std::optional<folder_hold> hold_;
    refine_end end_;
};
