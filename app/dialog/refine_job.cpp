#include "app/dialog/refine_job.hpp"

bool refine_job::start(const refine_settings& settings, std::string& why)
{
    return launch(
        "a refinement", {}, [this, settings] { end_.done = refine_and_write(app_, settings, end_.result, end_.why); },
        why);
}
