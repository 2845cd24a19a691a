#include "app/dialog/spin_job.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "common/program_entry.hpp"

spin_search_settings dialog_search_settings(int nside, int subdivisions)
{
    spin_search_settings s;
    s.nside = nside;
    s.scan_subdivisions = std::max(1, std::min(s.scan_subdivisions, subdivisions));
    return s;
}

spin_job::~spin_job()
{
    stop();
}

bool spin_job::start(const spin_search_settings& settings, std::string& why)
{
    if (running()) {
        why = "a pole search is already running";
        return false;
    }
    hold_.emplace(app_);
    if (hold_->refused()) {
        why = hold_->why;
        hold_.reset();
        return false;
    }
    end_ = {};
    end_.settings = settings;
    end_.settings.fitted = [this](const spin_fit&) { fitted_.fetch_add(1); };
    fitted_.store(0);
    finished_.store(false);
    try {
        thread_ = std::thread([this] { run(); });
        started_ = true;
    } catch (const std::system_error&) {
        hold_.reset();
        why = "cannot start the pole search's thread";
        return false;
    }
    return true;
}

void spin_job::run()
{
    // The entry of the search's thread: nothing may escape it.
    try {
        end_.done = search_periods(app_, end_.settings, end_.periods, end_.why) &&
                    search_and_write_spins(app_, end_.settings, end_.periods, false, end_.result, end_.why);
    } catch (...) {
        end_.done = false;
        end_.why = escaped_exception_text();
    }
    end_.cancelled = !end_.done && app_.cancel.load() != 0;
    finished_.store(true);
}

spin_end spin_job::collect()
{
    if (thread_.joinable()) thread_.join();
    started_ = false;
    hold_.reset();
    // A Cancel pressed for this search must not stop the next sweep.
    app_.cancel.store(0);
    spin_end end = std::exchange(end_, {});
    end.settings.fitted = nullptr;  // it points at this job
    return end;
}

void spin_job::stop()
{
    if (!thread_.joinable()) return;
    app_.cancel.store(1);
    thread_.join();
}
