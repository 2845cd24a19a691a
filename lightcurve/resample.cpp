#include "lightcurve/resample.hpp"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

#include "common/checked_file.hpp"

namespace {

// Linear interpolation between (t_lo, y_lo) and (t_hi, y_hi) at tk, in the
// reference's order of operations: intercept first, then tk times the slope.
double interpolate(double y_lo, double y_hi, double t_lo, double t_hi, double tk)
{
    double dt = t_hi - t_lo;
    double s = (y_hi - y_lo) / dt;
    return (y_lo - s * t_lo) + tk * s;
}

// The observations actually present: the count, trimmed to the arrays.
std::size_t usable_count(const obs_set& set)
{
    if (set.count <= 0) return 0;
    std::size_t n = static_cast<std::size_t>(set.count);
    n = std::min({n, set.times.size(), set.photometry.size(), set.sun.size(), set.earth.size()});
    return n;
}

// Buffered "%lf %lf\n" lines into a checked file. Finite values are
// formatted with to_chars, which gives the same digits as printf's "%.6f"
// and is many times faster; the rest go through snprintf itself.
class pair_writer {
public:
    explicit pair_writer(checked_file& file) : file_(file) {}

    void line(double a, double b)
    {
        if (room() < 2 * max_number + 2) flush();
        put(a);
        buf_[used_++] = ' ';
        put(b);
        buf_[used_++] = '\n';
    }

    // Writes what is buffered; false when the file refused any of it.
    bool flush()
    {
        const bool ok = used_ == 0 || file_.write(buf_, used_);
        used_ = 0;
        return ok;
    }

private:
    // The longest "%.6f" of a double: 309 integer digits, sign, point, 6.
    static constexpr std::size_t max_number = 320;

    std::size_t room() const { return sizeof buf_ - used_; }

    void put(double v)
    {
        char* at = buf_ + used_;
        if (std::isfinite(v)) {
            auto result = std::to_chars(at, buf_ + sizeof buf_, v, std::chars_format::fixed, 6);
            if (result.ec == std::errc()) {
                used_ = static_cast<std::size_t>(result.ptr - buf_);
                return;
            }
        }
        int written = std::snprintf(at, room(), "%lf", v);
        if (written > 0) used_ += std::min(static_cast<std::size_t>(written), room() - 1);
    }

    checked_file& file_;
    char buf_[1 << 16];
    std::size_t used_ = 0;
};

// Writes `count` lines of (x[i], y(i)) to `name` through a temporary file
// renamed into place; false (with `why`) when it could not be written whole,
// and then an earlier file of that name is kept.
template <class Y>
bool write_pairs(const char* name, const double* x, std::size_t count, Y y, std::string& why)
{
    checked_file file;
    if (file.open(name, checked_file::placement::replacing)) {
        auto writer = std::make_unique<pair_writer>(file);
        for (std::size_t i = 0; i < count; ++i) writer->line(x[i], y(i));
        writer->flush();
        file.close();
    }
    why = file.error();
    return why.empty();
}

}  // namespace

void resample_reference(const obs_set& set, ref_curve& ref)
{
    constexpr std::size_t samples = reference_samples;
    std::vector<double> times(samples);
    std::vector<phot_point> photometry(samples);
    std::vector<vec3> sun(samples);
    std::vector<vec3> earth(samples);

    const std::size_t n = usable_count(set);
    if (n > 0) {
        const double* t = set.times.data();
        const double step = (t[n - 1] - t[0]) / samples;
        const phot_point& first = set.photometry[0];

        times[0] = t[0];
        photometry[0] = first;
        sun[0] = set.sun[0];
        earth[0] = set.earth[0];

        for (std::size_t k = 1; k < samples; ++k) {
            const double tk = t[0] + static_cast<double>(k) * step;
            // The first observation strictly later than tk.
            std::size_t j = 0;
            while (j < n && !(t[j] > tk)) ++j;

            double magnitude;
            vec3 s;
            vec3 e;
            if (j == 0 || j == n) {
                // No bracket (possible only through rounding at the far end,
                // or for a set that is not in time order): hold the nearest
                // end's values rather than read outside the arrays.
                const std::size_t hold = j == 0 ? 0 : n - 1;
                magnitude = set.photometry[hold].magnitude;
                s = set.sun[hold];
                e = set.earth[hold];
            } else {
                const std::size_t lo = j - 1;
                const std::size_t hi = j;
                const double t_lo = t[lo];
                const double t_hi = t[hi];
                magnitude = interpolate(set.photometry[lo].magnitude, set.photometry[hi].magnitude, t_lo, t_hi, tk);
                s.x = interpolate(set.sun[lo].x, set.sun[hi].x, t_lo, t_hi, tk);
                s.y = interpolate(set.sun[lo].y, set.sun[hi].y, t_lo, t_hi, tk);
                s.z = interpolate(set.sun[lo].z, set.sun[hi].z, t_lo, t_hi, tk);
                e.x = interpolate(set.earth[lo].x, set.earth[hi].x, t_lo, t_hi, tk);
                e.y = interpolate(set.earth[lo].y, set.earth[hi].y, t_lo, t_hi, tk);
                e.z = interpolate(set.earth[lo].z, set.earth[hi].z, t_lo, t_hi, tk);
            }
            times[k] = tk;
            photometry[k] = phot_point{magnitude, first.sigma, first.filter, first.lc_number};
            sun[k] = s;
            earth[k] = e;
        }
    }

    ref.times = std::move(times);
    ref.photometry = std::move(photometry);
    ref.sun = std::move(sun);
    ref.earth = std::move(earth);
}

void resample_blocks(const obs_set& set, ref_curve& ref)
{
    ref_curve all;
    for (const auto [first, end, block] : block_runs(set, usable_count(set))) {
        obs_set one;
        one.count = static_cast<int32_t>(end - first);
        one.times.assign(set.times.begin() + first, set.times.begin() + end);
        one.photometry.assign(set.photometry.begin() + first, set.photometry.begin() + end);
        one.sun.assign(set.sun.begin() + first, set.sun.begin() + end);
        one.earth.assign(set.earth.begin() + first, set.earth.begin() + end);
        ref_curve part;
        resample_reference(one, part);
        all.times.insert(all.times.end(), part.times.begin(), part.times.end());
        all.photometry.insert(all.photometry.end(), part.photometry.begin(), part.photometry.end());
        all.sun.insert(all.sun.end(), part.sun.begin(), part.sun.end());
        all.earth.insert(all.earth.end(), part.earth.begin(), part.earth.end());
        all.blocks.push_back(block);
    }
    ref = std::move(all);
}

bool check_reference(const ref_curve& ref, std::string& reason)
{
    const std::size_t n = ref.times.size();
    if (n == 0 || ref.photometry.size() != n || ref.sun.size() != n || ref.earth.size() != n) {
        reason = "the resampled reference is empty";
        return false;
    }
    auto finite = [](const vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); };
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(ref.times[k]) || !std::isfinite(ref.photometry[k].magnitude) || !finite(ref.sun[k]) ||
            !finite(ref.earth[k])) {
            reason = "the resampled reference is not finite at sample " + std::to_string(k) +
                     " (observation times too close together to interpolate?)";
            return false;
        }
        // A step below the smallest normal double is rounded to a multiple of
        // the smallest subnormal: the samples would run past the last
        // observation.
        if (k % reference_samples != 0 && !(ref.times[k] - ref.times[k - 1] >= DBL_MIN)) {
            reason = "the observations span too short a time to resample onto " + std::to_string(n) + " distinct times";
            return false;
        }
    }
    return true;
}

bool write_reference_files(const ref_curve& ref, const obs_set& set, std::string& reason)
{
    const std::size_t samples = std::min(ref.times.size(), ref.photometry.size());
    if (!write_pairs(
            "ref_lc_interpolated.txt", ref.times.data(), samples,
            [&](std::size_t i) { return ref.photometry[i].magnitude; }, reason))
        return false;
    return write_pairs(
        "ref_lc.txt", set.times.data(), usable_count(set), [&](std::size_t i) { return set.photometry[i].magnitude; },
        reason);
}
