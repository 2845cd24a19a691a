#include "lightcurve/observed_points.hpp"

#include <algorithm>
#include <cmath>

void take_observed_points(const obs_set& set, ref_curve& ref)
{
    const std::size_t n = std::min({static_cast<std::size_t>(std::max(set.count, 0)), set.times.size(),
                                    set.photometry.size(), set.sun.size(), set.earth.size()});
    ref_curve points;
    points.times.assign(set.times.begin(), set.times.begin() + n);
    points.photometry.assign(set.photometry.begin(), set.photometry.begin() + n);
    points.sun.assign(set.sun.begin(), set.sun.begin() + n);
    points.earth.assign(set.earth.begin(), set.earth.begin() + n);
    for (const block_run& run : block_runs(set, n)) {
        points.blocks.push_back(run.block);
        points.block_starts.push_back(static_cast<int32_t>(run.first));
    }
    points.block_starts.push_back(static_cast<int32_t>(n));
    ref = std::move(points);
}

int64_t degrees_of_freedom(const ref_curve& ref)
{
    return static_cast<int64_t>(ref.times.size()) - static_cast<int64_t>(ref.blocks.size());
}

namespace {

// Whether all three coordinates are finite.
bool finite(const vec3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The blocks' layout: starts from 0, increasing, ending at the point count.
bool blocks_sound(const ref_curve& ref, std::string& reason)
{
    const std::size_t n = ref.times.size();
    const std::vector<int32_t>& starts = ref.block_starts;
    if (ref.blocks.empty() || starts.size() != ref.blocks.size() + 1 || starts.front() != 0 ||
        static_cast<std::size_t>(starts.back()) != n) {
        reason = "the observed points are not divided into blocks";
        return false;
    }
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        if (!(starts[b] < starts[b + 1])) {
            reason = "block " + std::to_string(ref.blocks[b]) + " holds no points";
            return false;
        }
        // In file order, as a load reads them: each block's points together.
        if (ref.blocks[b] < 0 || (b > 0 && !(ref.blocks[b - 1] < ref.blocks[b]))) {
            reason = "block " + std::to_string(ref.blocks[b]) + " does not follow block " +
                     std::to_string(b > 0 ? ref.blocks[b - 1] : -1) + " (blocks come in file order, each once)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_observed_points(const ref_curve& ref, std::string& reason)
{
    const std::size_t n = ref.times.size();
    if (n == 0 || ref.photometry.size() != n || ref.sun.size() != n || ref.earth.size() != n) {
        reason = "there are no observed points";
        return false;
    }
    if (!blocks_sound(ref, reason)) return false;
    for (std::size_t b = 0; b < ref.blocks.size(); ++b)
        for (int32_t i = ref.block_starts[b]; i < ref.block_starts[b + 1]; ++i) {
            const std::size_t k = static_cast<std::size_t>(i);
            const phot_point& p = ref.photometry[k];
            const std::string where =
                "point " + std::to_string(k + 1) + " (block " + std::to_string(ref.blocks[b]) + ")";
            if (p.lc_number != ref.blocks[b]) {
                reason = where + " is of block " + std::to_string(p.lc_number);
                return false;
            }
            if (!std::isfinite(ref.times[k]) || !std::isfinite(p.magnitude) || !finite(ref.sun[k]) ||
                !finite(ref.earth[k])) {
                reason = where + " is not finite";
                return false;
            }
            if (!(p.sigma > 0.0) || !std::isfinite(p.sigma)) {
                reason = where + ": its sigma must be a finite number above 0";
                return false;
            }
            if (i > ref.block_starts[b] && ref.times[k] < ref.times[k - 1]) {
                reason = where + " is earlier than the point before it (times must not decrease within a block)";
                return false;
            }
        }
    if (degrees_of_freedom(ref) < 1) {
        reason = std::to_string(n) + (n == 1 ? " point in " : " points in ") + std::to_string(ref.blocks.size()) +
                 (ref.blocks.size() == 1 ? " block" : " blocks") +
                 " leave no degree of freedom (each block's zero point is fitted: the chi2 fit needs more points "
                 "than blocks)";
        return false;
    }
    return true;
}
