#pragma once

// Work on the working folder that the dialog runs on a thread of its own
// (a refinement, a pole search), so that the window answers while it runs.

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/program_entry.hpp"
#include "workflow/app_state.hpp"
#include "workflow/controller.hpp"

// One such piece of work, ending in an `End` (with done, cancelled and
// why). Cancel stops it through app.cancel. The thread never calls the
// window: the window asks finished() and collects the end, so it can
// always wait for the thread.
template <class End>
class folder_job {
public:
    explicit folder_job(app_state& app) : app_(app) {}
    folder_job(const folder_job&) = delete;
    folder_job& operator=(const folder_job&) = delete;
    // Stops the work if it still runs and waits for it.
    ~folder_job() { stop(); }
    // Started and not yet collected.
    bool running() const { return started_; }
    // The thread's work is done: collecting returns at once.
    bool finished() const { return finished_.load(); }
    // Asks running work to stop and waits for it (its end then says it was
    // cancelled).
    void stop()
    {
        if (!thread_.joinable()) return;
        app_.cancel.store(1);
        thread_.join();
    }

protected:
    // Holds the working folder, clears the end and lets `prepare` set it up,
    // then runs `work` (which sets end_.done and end_.why) on a new thread;
    // false with `why` when `what` already runs, another run holds the
    // folder or no thread can start.
    bool launch(const std::string& what, const std::function<void()>& prepare, std::function<void()> work,
                std::string& why)
    {
        if (running()) {
            why = what + " is already running";
            return false;
        }
        end_ = {};
        if (prepare) prepare();
        hold_.emplace(app_);
        if (hold_->refused()) {
            why = hold_->why;
            hold_.reset();
            return false;
        }
        finished_.store(false);
        try {
            thread_ = std::thread([this, work = std::move(work)] { run(work); });
            started_ = true;
        } catch (const std::system_error&) {
            hold_.reset();
            why = "cannot start the thread of " + what;
            return false;
        }
        return true;
    }
    // Waits for the thread, gives the folder back, clears the cancel flag
    // (a Cancel pressed for this work must not stop the next sweep) and
    // hands the end over.
    End take()
    {
        if (thread_.joinable()) thread_.join();
        started_ = false;
        hold_.reset();
        app_.cancel.store(0);
        return std::exchange(end_, {});
    }

    app_state& app_;
    End end_;

private:
    // The entry of the work's thread: nothing may escape it.
    void run(const std::function<void()>& work)
    {
        try {
            work();
        } catch (...) {
            end_.done = false;
            end_.why = escaped_exception_text();
        }
        end_.cancelled = !end_.done && app_.cancel.load() != 0;
        finished_.store(true);
    }

    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> finished_{false};
    std::optional<folder_hold> hold_;
};
