#include "app/dialog/refine_job.hpp"

#include <system_error>
#include <utility>

#include "common/program_entry.hpp"

refine_job::~refine_job()
{
    stop();
}

bool refine_job::start(const refine_settings& settings, std::string& why)
{
    if (running()) {
        why = "a refinement is already running";
        return false;
    }
    hold_.emplace(app_);
    if (hold_->refused()) {
        why = hold_->why;
        hold_.reset();
        return false;
    }
    end_ = {};
    finished_.store(false);
    try {
        thread_ = std::thread([this, settings] { run(settings); });
        started_ = true;
    } catch (const std::system_error&) {
        hold_.reset();
        why = "cannot start the refinement's thread";
        return false;
    }
    return true;
}

void refine_job::run(const refine_settings& settings)
{
    // The entry of the refinement's thread: nothing may escape it.
    try {
        end_.done = refine_and_write(app_, settings, end_.result, end_.why);
    } catch (...) {
        end_.done = false;
        end_.why = escaped_exception_text();
    }
    end_.cancelled = !end_.done && app_.cancel.load() != 0;
    finished_.store(true);
}

refine_end refine_job::collect()
{
    if (thread_.joinable()) thread_.join();
    started_ = false;
    hold_.reset();
    // A Cancel pressed for this refinement must not stop the next sweep.
    app_.cancel.store(0);
    return std::exchange(end_, {});
}

void refine_job::stop()
{
    if (!thread_.joinable()) return;
    app_.cancel.store(1);
    thread_.join();
}
