#include "support/pipeline.hpp"

#include <cmath>
#include <cstdio>

#include "common/control_ids.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/controller.hpp"

std::string data_file(const std::string& name)
{
    return std::string(MORVANE_SOURCE_DIR) + "/data/" + name;
}

std::string small_observation_file(int points)
{
    std::string text = "1\n" + std::to_string(points) + " 0\n";
    for (int i = 0; i < points; ++i) {
        char line[200];
        std::snprintf(line, sizeof line, "%.6f %.6f 1.0 0.2 0.0 0.9 -0.3 0.1\n", 2451545.0 + i / double(points),
                      1.0 + 0.3 * std::sin(i * 0.7));
        text += line;
    }
    return text;
}

bool geosphere_and_load(app_state& app, recording_front_end& ui, int n, const std::string& path)
{
    ui.set_field(ctl::subdivisions, std::to_string(n));
    ui.set_field(ctl::path, path);
    return on_command(app, ctl::generate_geosphere).done && on_command(app, ctl::load_lightcurve).done;
}
