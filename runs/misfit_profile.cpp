#include "runs/misfit_profile.hpp"

#include <algorithm>
#include <cmath>
#include <map>

std::vector<misfit_profile> misfit_profiles(const std::vector<summary_row>& rows)
{
    std::vector<misfit_profile> profiles;
    for (int p = 1; p < 7; ++p) {
        std::map<double, profile_point> lowest;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const summary_row& r = rows[i];
            if (!std::isfinite(r.misfit)) continue;
            const double value = r.params[p];
            const auto [at, fresh] = lowest.try_emplace(value, profile_point{value, r.misfit, r.shape});
            profile_point& known = at->second;
            if (!fresh && (r.misfit < known.misfit || (r.misfit == known.misfit && r.shape < known.shape))) {
                known.misfit = r.misfit;
                known.shape = r.shape;
            }
        }
        misfit_profile profile{p, {}, -1};
        for (const auto& [value, point] : lowest) {
            const int32_t k = static_cast<int32_t>(profile.points.size());
            const bool better = profile.best < 0 || point.misfit < profile.points[profile.best].misfit ||
                                (point.misfit == profile.points[profile.best].misfit &&
                                 point.shape < profile.points[profile.best].shape);
            profile.points.push_back(point);
            if (better) profile.best = k;
        }
        profiles.push_back(std::move(profile));
    }
    return profiles;
}
