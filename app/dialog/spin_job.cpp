#include "app/dialog/spin_job.hpp"

#include <algorithm>

spin_search_settings dialog_search_settings(int nside, int subdivisions)
{
    spin_search_settings s;
    s.nside = nside;
    s.scan_subdivisions = std::max(1, std::min(s.scan_subdivisions, subdivisions));
    return s;
}

bool spin_job::start(const spin_search_settings& settings, std::string& why)
{
    const auto prepare = [this, &settings] {
        end_.settings = settings;
        end_.settings.fitted = [this](const spin_fit&) { fitted_.fetch_add(1); };
        fitted_.store(0);
    };
    const auto work = [this] {
        end_.done = search_periods(app_, end_.settings, end_.periods, end_.why) &&
                    search_and_write_spins(app_, end_.settings, end_.periods, false, end_.result, end_.why);
    };
    return launch("a pole search", prepare, work, why);
}

spin_end spin_job::collect()
{
    spin_end end = take();
    end.settings.fitted = nullptr;  // it points at this job
    return end;
}
