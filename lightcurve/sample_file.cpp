#include "lightcurve/sample_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "lightcurve/observed_points.hpp"
#include "lightcurve/resample.hpp"

namespace {

// Reads `count` numbers from `text`; false when one is missing or malformed.
bool read_numbers(const char*& text, double* out, int count)
{
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        out[i] = std::strtod(text, &end);
        if (end == text) return false;
        text = end;
    }
    return true;
}

// Whether only blanks are left.
bool at_end(const char* text)
{
    while (*text == ' ' || *text == '\t' || *text == '\r') ++text;
    return *text == '\0';
}

}  // namespace

namespace {

// The resampled form: the samples, then the observations behind them.
void write_samples(checked_file& out, const ref_curve& reference, const obs_set& observations)
{
    out.printf("# the reference samples a sweep fitted and the observations behind them\n");
    out.printf("# sample block time magnitude earth_x earth_y earth_z sun_x sun_y sun_z\n");
    out.printf("# observation block time magnitude\n");
    for (std::size_t i = 0; i < reference.times.size(); ++i) {
        const vec3& e = reference.earth[i];
        const vec3& s = reference.sun[i];
        out.printf("sample %d %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", reference.photometry[i].lc_number,
                   reference.times[i], reference.photometry[i].magnitude, e.x, e.y, e.z, s.x, s.y, s.z);
    }
    for (int32_t i = 0; i < observations.count; ++i)
        out.printf("observation %d %.17g %.17g\n", observations.photometry[i].lc_number, observations.times[i],
                   observations.photometry[i].magnitude);
}

// The chi2 fit's form: each observed point with its block, sigma and
// directions; the points are the observations.
void write_points(checked_file& out, const ref_curve& points)
{
    out.printf("# the observed points a chi2 sweep fitted, each with its sigma\n");
    out.printf("# point block time magnitude sigma earth_x earth_y earth_z sun_x sun_y sun_z\n");
    for (std::size_t i = 0; i < points.times.size(); ++i) {
        const vec3& e = points.earth[i];
        const vec3& s = points.sun[i];
        const phot_point& p = points.photometry[i];
        out.printf("point %d %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", p.lc_number, points.times[i],
                   p.magnitude, p.sigma, e.x, e.y, e.z, s.x, s.y, s.z);
    }
}

// The points of a chi2 sweep's file as its reference, and as the
// observations; false with `why` when the chi2 fit could not use them.
bool take_points(const std::string& path, const obs_set& points, ref_curve& reference, obs_set& observations,
                 std::string& why)
{
    ref_curve taken;
    take_observed_points(points, taken);
    if (std::string reason; !check_observed_points(taken, reason)) {
        why = path + ": " + reason;
        return false;
    }
    reference = std::move(taken);
    observations = points;
    return true;
}

}  // namespace

bool write_sample_file(const std::string& path, const ref_curve& reference, const obs_set& observations,
                       std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        if (observed_points(reference))
            write_points(out, reference);
        else
            write_samples(out, reference, observations);
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool read_sample_file(const std::string& path, ref_curve& reference, obs_set& observations, std::string& why)
{
    input_file in(path);
    if (!in) {
        why = "cannot read " + in.error();
        return false;
    }
    ref_curve samples;
    obs_set observed;
    obs_set points;  // the chi2 fit's
    std::string line;
    int64_t line_number = 0;
    errno = 0;
    while (std::getline(in, line)) {
        ++line_number;
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(line_number) + ": ";
        const bool sample = line.rfind("sample ", 0) == 0;
        const bool observation = line.rfind("observation ", 0) == 0;
        const bool point = line.rfind("point ", 0) == 0;
        const char* text = line.c_str() + (sample ? 7 : point ? 6 : 12);
        double v[10];
        const int count = sample ? 9 : point ? 10 : 3;
        if ((!sample && !observation && !point) || line.find('\0') != std::string::npos ||
            !read_numbers(text, v, count) || !at_end(text)) {
            why = where + "not a sample, observation or point line";
            return false;
        }
        // The chi2 fit's points are the observations: no file holds both.
        if (point ? !samples.times.empty() || observed.count > 0 : points.count > 0) {
            why = where + "a file holds points (the chi2 fit's) or samples and observations, not both";
            return false;
        }
        // Every number as a sweep writes it: a block of the file, finite
        // times, magnitudes and directions.
        if (!(v[0] >= 0.0 && v[0] <= INT32_MAX && v[0] == std::floor(v[0]))) {
            why = where + "the block must be a whole number from 0 to " + std::to_string(INT32_MAX);
            return false;
        }
        for (int i = 1; i < count; ++i)
            if (!std::isfinite(v[i])) {
                why = where + "every number but the block must be finite";
                return false;
            }
        // A point has its sigma before its directions.
        const double* directions = v + (point ? 4 : 3);
        if ((sample || point) && (!(directions[0] != 0.0 || directions[1] != 0.0 || directions[2] != 0.0) ||
                                  !(directions[3] != 0.0 || directions[4] != 0.0 || directions[5] != 0.0))) {
            why = where + "the earth and sun directions must not be zero";
            return false;
        }
        if (point && !(v[3] > 0.0)) {
            why = where + "the sigma must be greater than 0";
            return false;
        }
        if (samples.times.size() + static_cast<std::size_t>(observed.count) + static_cast<std::size_t>(points.count) >=
            max_sample_file_lines) {
            why = where + "more lines than a sample file holds (" + std::to_string(max_sample_file_lines) + ")";
            return false;
        }
        if (point) {
            points.times.push_back(v[1]);
            points.photometry.push_back({v[2], v[3], 'V', static_cast<int32_t>(v[0])});
            points.earth.push_back({v[4], v[5], v[6]});
            points.sun.push_back({v[7], v[8], v[9]});
            ++points.count;
            continue;
        }
        const phot_point point_read{v[2], 0.01, 'V', static_cast<int32_t>(v[0])};
        if (sample) {
            samples.times.push_back(v[1]);
            samples.photometry.push_back(point_read);
            samples.earth.push_back({v[3], v[4], v[5]});
            samples.sun.push_back({v[6], v[7], v[8]});
        } else {
            observed.times.push_back(v[1]);
            observed.photometry.push_back(point_read);
            ++observed.count;
        }
    }
    if (in.bad()) {
        why = file_failure("read", path, errno ? errno : EIO);
        return false;
    }
    if (points.count > 0) return take_points(path, points, reference, observations, why);
    if (samples.times.empty()) {
        why = path + ": no samples";
        return false;
    }
    // One run of reference_samples per block, each of one block, with
    // increasing times: what the fit and the figures index.
    const std::size_t n = samples.times.size();
    if (n % reference_samples != 0) {
        why = path + ": " + std::to_string(n) + " samples, not runs of " + std::to_string(reference_samples) +
              " (one per block)";
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (samples.photometry[i].lc_number != samples.photometry[i - i % reference_samples].lc_number) {
            why = path + ": sample " + std::to_string(i + 1) + " is of another block than the first of its run of " +
                  std::to_string(reference_samples);
            return false;
        }
    if (std::string reason; !check_reference(samples, reason)) {
        why = path + ": " + reason;
        return false;
    }
    // A joint fit's samples are one run of reference_samples per block.
    if (n > static_cast<std::size_t>(reference_samples))
        for (std::size_t i = 0; i < n; i += reference_samples)
            samples.blocks.push_back(samples.photometry[i].lc_number);
    reference = std::move(samples);
    observations = std::move(observed);
    return true;
}
