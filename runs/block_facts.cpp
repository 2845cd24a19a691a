#include "runs/block_facts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "photometry/view_geometry.hpp"
#include "sweep/eval_shape.hpp"

namespace {

constexpr double degree = M_PI / 180.0;

// The civil (proleptic Gregorian) year, month and day of a Julian day
// number (Fliegel and Van Flandern's integer algorithm).
void civil_date(int64_t day_number, int64_t& year, int64_t& month, int64_t& day)
{
    int64_t l = day_number + 68569;
    const int64_t n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    const int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    const int64_t j = 80 * l / 2447;
    day = l - 2447 * j / 80;
    l = j / 11;
    month = j + 2 - 12 * l;
    year = 100 * (n - 49) + i + l;
}

}  // namespace

sample_span block_samples(const ref_curve& ref, int32_t b, int32_t block_count)
{
    if (observed_points(ref))
        return {static_cast<std::size_t>(ref.block_starts[b]),
                static_cast<std::size_t>(ref.block_starts[b + 1] - ref.block_starts[b])};
    const std::size_t n = ref.times.size() / static_cast<std::size_t>(std::max(block_count, 1));
    return {static_cast<std::size_t>(b) * n, n};
}

block_facts facts_of_block(const run_results& run, int32_t b, int32_t block_count)
{
    const ref_curve& ref = *run.reference;
    const sample_span span = block_samples(ref, b, block_count);
    block_facts facts;
    facts.block = ref.blocks.empty() ? -1 : ref.blocks[static_cast<std::size_t>(b)];
    if (span.count == 0) return facts;
    const double t0 = ref.times[span.first];
    const double t1 = ref.times[span.first + span.count - 1];
    facts.jd_mid = 0.5 * (t0 + t1);
    if (observed_points(ref)) {
        facts.points = span.count;
    } else {
        for (int32_t i = 0; i < run.observations.count; ++i) {
            // Every observation of the block: the samples stop a step short
            // of its last one.
            if (facts.block < 0 || run.observations.photometry[static_cast<std::size_t>(i)].lc_number == facts.block)
                ++facts.points;
        }
    }
    const std::size_t mid = span.first + span.count / 2;
    facts.phase_angle_deg = phase_angle_deg(ref.sun[mid], ref.earth[mid]);
    facts.aspect_deg =
        sub_earth_latitude_deg(ref.earth[mid], run.manifest.inputs.lambda_deg, run.manifest.inputs.beta_deg);
    return facts;
}

std::string utc_date(double jd)
{
    if (!std::isfinite(jd) || jd < 0.0 || jd > 1e8) return "no date";
    // Julian days begin at noon: shift to midnight, then round to the minute.
    const double shifted = jd + 0.5;
    auto minutes = static_cast<int64_t>(std::llround(shifted * 1440.0));
    const int64_t day_number = minutes / 1440;
    minutes -= day_number * 1440;
    int64_t year = 0, month = 0, day = 0;
    civil_date(day_number, year, month, day);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(minutes / 60),
                  static_cast<long long>(minutes % 60));
    return text;
}

double rotation_phase(double t, const run_inputs& in)
{
    const double turn = rotation_angle(t, in.t0, in.period_hours / 24.0, in.phi0_deg * degree) / (2.0 * M_PI);
    return turn >= 1.0 ? 0.0 : turn;
}
