#include "lightcurve/sample_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

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
    reference = ref_curve{};
    observations = obs_set{};
    std::string line;
    int line_number = 0;
    while (std::getline(in, line)) {
        ++line_number;
        if (line.empty() || line[0] == '#') continue;
        const bool sample = line.rfind("sample ", 0) == 0;
        const bool observation = line.rfind("observation ", 0) == 0;
        const char* text = line.c_str() + (sample ? 7 : 12);
        double v[9];
        const int count = sample ? 9 : 3;
        if ((!sample && !observation) || !read_numbers(text, v, count) || !at_end(text)) {
            why = path + ":" + std::to_string(line_number) + ": not a sample or observation line";
            return false;
        }
        const phot_point point{v[2], 0.01, 'V', static_cast<int32_t>(v[0])};
        if (sample) {
            reference.times.push_back(v[1]);
            reference.photometry.push_back(point);
            reference.earth.push_back({v[3], v[4], v[5]});
            reference.sun.push_back({v[6], v[7], v[8]});
        } else {
            observations.times.push_back(v[1]);
            observations.photometry.push_back(point);
            ++observations.count;
        }
    }
    if (reference.times.empty()) {
        why = path + ": no samples";
        return false;
    }
    // A joint fit's samples are one run of reference_samples per block.
    if (reference.times.size() > static_cast<std::size_t>(reference_samples))
        for (std::size_t i = 0; i < reference.times.size(); i += reference_samples)
            reference.blocks.push_back(reference.photometry[i].lc_number);
    return true;
}
