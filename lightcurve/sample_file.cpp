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

bool write_sample_file(const std::string& path, const ref_curve& reference, const obs_set& observations,
                       std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
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
    std::string line;
    int64_t line_number = 0;
    errno = 0;
    while (std::getline(in, line)) {
        ++line_number;
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(line_number) + ": ";
        const bool sample = line.rfind("sample ", 0) == 0;
        const bool observation = line.rfind("observation ", 0) == 0;
        const char* text = line.c_str() + (sample ? 7 : 12);
        double v[9];
        const int count = sample ? 9 : 3;
        if ((!sample && !observation) || line.find('\0') != std::string::npos || !read_numbers(text, v, count) ||
            !at_end(text)) {
            why = where + "not a sample or observation line";
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
        if (sample && (!(v[3] != 0.0 || v[4] != 0.0 || v[5] != 0.0) || !(v[6] != 0.0 || v[7] != 0.0 || v[8] != 0.0))) {
            why = where + "the earth and sun directions must not be zero";
            return false;
        }
        if (samples.times.size() + static_cast<std::size_t>(observed.count) >= max_sample_file_lines) {
            why = where + "more lines than a sample file holds (" + std::to_string(max_sample_file_lines) + ")";
            return false;
        }
        const phot_point point{v[2], 0.01, 'V', static_cast<int32_t>(v[0])};
        if (sample) {
            samples.times.push_back(v[1]);
            samples.photometry.push_back(point);
            samples.earth.push_back({v[3], v[4], v[5]});
            samples.sun.push_back({v[6], v[7], v[8]});
        } else {
            observed.times.push_back(v[1]);
            observed.photometry.push_back(point);
            ++observed.count;
        }
    }
    if (in.bad()) {
        why = file_failure("read", path, errno ? errno : EIO);
        return false;
    }
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
