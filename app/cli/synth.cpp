#include "app/cli/synth.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

#include "app/cli/synth_noise.hpp"
#include "common/checked_file.hpp"
#include "lightcurve/obs_set.hpp"
#include "mesh/base_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/spin.hpp"

namespace {

constexpr double degree = 0.017453292519943295;

// A value as refusals show it: ten significant digits.
std::string shown(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// The invented geometry's sun and earth vectors, one pair per block.
std::vector<std::pair<vec3, vec3>> invented_directions(const synth_options& o)
{
    std::vector<std::pair<vec3, vec3>> blocks;
    if (o.geometries.empty()) {
        blocks.push_back({vec3{2.5, 0.0, 0.0},
                          vec3{1.5 * std::cos(o.phase_deg * degree), 1.5 * std::sin(o.phase_deg * degree), 0.0}});
        return blocks;
    }
    const vec3 p{std::cos(o.beta_deg * degree) * std::cos(o.lambda_deg * degree),
                 std::cos(o.beta_deg * degree) * std::sin(o.lambda_deg * degree), std::sin(o.beta_deg * degree)};
    // q: the unit vector in the equator of the pole nearest ecliptic +x.
    vec3 q{1.0 - p.x * p.x, -p.x * p.y, -p.x * p.z};
    double length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
    if (length < 1e-9)
        q = {-p.y * p.x, 1.0 - p.y * p.y, -p.y * p.z}, length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
    q = {q.x / length, q.y / length, q.z / length};
    auto towards = [&](double latitude_deg, double distance) {
        const double c = std::cos(latitude_deg * degree) * distance, s = std::sin(latitude_deg * degree) * distance;
        return vec3{c * q.x + s * p.x, c * q.y + s * p.y, c * q.z + s * p.z};
    };
    for (const auto& [phase, latitude] : o.geometries)
        blocks.push_back({towards(latitude - phase, 2.5), towards(latitude, 1.5)});
    return blocks;
}

// The options' refusal before any work ("" for none), the file aside.
std::string option_refusal(const synth_options& o)
{
    if (o.subdivisions < 1 || o.subdivisions > 7) return "synth takes 1 to 7 subdivisions";
    if (o.like.empty() && o.points < 2) return "synth needs at least 2 points";
    if (o.like.empty() && !(o.hours > 0.0)) return "period and span must be greater than 0";
    spin_state spin;
    spin.lambda_deg = o.lambda_deg;
    spin.beta_deg = o.beta_deg;
    spin.phi0_deg = o.phi0_deg;
    spin.period_hours = o.period_hours;
    spin.t0 = o.t0;
    if (std::string why; !check_spin_ranges(spin, why)) return why;
    if (std::string why; !check_synth_shape(o.shape, why)) return why;
    if (o.noisy && !(o.noise_mag >= 0.0 && o.noise_mag <= max_noise_mag))
        return "--noise takes a standard deviation from 0 to " + shown(max_noise_mag) + " mag, not " +
               shown(o.noise_mag);
    return "";
}

// Appends the shortest text that reads back as exactly `value`.
void append_exact(std::string& line, double value)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    line.append(text, ec == std::errc() ? end : text);
}

// One point line: exactly as computed (like), or in the invented
// geometry's fixed layout.
std::string point_line(bool exact, double time, double brightness, const vec3& sun, const vec3& earth)
{
    if (exact) {
        std::string line;
        const double values[8] = {time, brightness, sun.x, sun.y, sun.z, earth.x, earth.y, earth.z};
        for (int i = 0; i < 8; ++i) {
            if (i > 0) line += ' ';
            append_exact(line, values[i]);
        }
        return line + '\n';
    }
    char line[256];
    std::snprintf(line, sizeof line, "%.8f %.10e %.8f %.8f %.8f %.8f %.8f %.8f\n", time, brightness, sun.x, sun.y,
                  sun.z, earth.x, earth.y, earth.z);
    return line;
}

// Writes the observation file: blocks 0 to the last one's number, a block
// with no points where the geometry has none, so that each block keeps
// its number when read back.
std::string write_synth_file(const synth_options& o, const synth_geometry& g, const std::vector<double>& brightness)
{
    checked_file out;
    if (!out.open(o.output, checked_file::placement::replacing)) return out.error();
    const std::size_t n = g.times.size();
    out.printf("%d\n", g.blocks.back() + 1);
    std::size_t at = 0;
    for (int32_t block = 0; block <= g.blocks.back(); ++block) {
        std::size_t end = at;
        while (end < n && g.blocks[end] == block) ++end;
        out.printf("%zu 0\n", end - at);
        for (; at < end; ++at) {
            const std::string line = point_line(!o.like.empty(), g.times[at], brightness[at], g.suns[at], g.earths[at]);
            out.write(line.data(), line.size());
        }
    }
    out.close();
    return out.error();
}

}  // namespace

bool check_synth_shape(const double s[6], std::string& why)
{
    constexpr double slack = 1e-9;
    const struct {
        const char* name;
        double value, lo, hi;
        const char* range;
    } limits[6] = {
        {"y_scale_1", s[0], 0.5, 1.0, "[0.5, 1]"},
        {"z_scale_1", s[1], 0.5 * s[0], s[0], "[y_scale_1 / 2, y_scale_1]"},
        {"x_scale_2", s[2], 0.1, 1.0, "[0.1, 1]"},
        {"y_scale_2", s[3], 0.5 * s[2], s[2], "[x_scale_2 / 2, x_scale_2]"},
        {"z_scale_2", s[4], 0.5 * s[3], s[3], "[y_scale_2 / 2, y_scale_2]"},
        {"x_shift", s[5], 1.0 - s[2], 1.0 + s[2], "[1 - x_scale_2, 1 + x_scale_2]"},
    };
    for (const auto& l : limits)
        if (!(l.value >= l.lo - slack && l.value <= l.hi + slack)) {
            why = std::string("the shape's ") + l.name + " " + shown(l.value) + " lies outside " + l.range + " = [" +
                  shown(l.lo) + ", " + shown(l.hi) + "], the ranges the model's grid spans";
            return false;
        }
    return true;
}

synth_geometry invented_geometry(const synth_options& o)
{
    const std::vector<std::pair<vec3, vec3>> directions = invented_directions(o);
    const std::size_t count = static_cast<std::size_t>(o.points);
    synth_geometry g;
    for (std::size_t b = 0; b < directions.size(); ++b)
        for (std::size_t k = 0; k < count; ++k) {
            g.times.push_back(o.start + 30.0 * static_cast<double>(b) +
                              (o.hours / 24.0) * static_cast<double>(k) / static_cast<double>(count - 1));
            g.suns.push_back(directions[b].first);
            g.earths.push_back(directions[b].second);
            g.blocks.push_back(static_cast<int32_t>(b));
        }
    return g;
}

bool like_geometry(const std::string& path, const block_selection& blocks, synth_geometry& out, std::string& why)
{
    obs_set set;
    if (read_lc_file(path, set, nullptr, why, blocks) == 0) return false;
    out.times = set.times;
    out.suns = set.sun;
    out.earths = set.earth;
    out.blocks.clear();
    for (const phot_point& p : set.photometry) out.blocks.push_back(p.lc_number);
    return true;
}

bool synth_brightness(const synth_options& o, const synth_geometry& g, std::vector<double>& brightness,
                      std::string& why)
{
    const std::shared_ptr<const mesh> base = build_base_mesh(o.subdivisions);
    if (!base) {
        why = "not enough memory for the base shape";
        return false;
    }
    const double params[7] = {1.0, o.shape[0], o.shape[1], o.shape[2], o.shape[3], o.shape[4], o.shape[5]};
    std::vector<vec3> vertices;
    deform_vertices(base->vertices, params, vertices);
    const sweep_spin spin = typed_spin(o.lambda_deg, o.beta_deg, o.period_hours, o.t0, o.phi0_deg);

    const shape_job job =
        one_shape_job(*base, vertices, params,
                      {static_cast<int32_t>(g.times.size()), g.earths.data(), g.suns.data(), g.times.data()}, spin);

    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    if (!fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) {
        why = "the shape could not be evaluated: " + outcome.failure;
        return false;
    }
    brightness = std::move(scratch.brightness);
    return true;
}

void apply_noise(const synth_options& o, const synth_geometry& g, std::vector<double>& brightness)
{
    if (!o.noisy) return;
    std::vector<double> magnitudes(brightness.size());
    for (std::size_t i = 0; i < brightness.size(); ++i) magnitudes[i] = std::log10(brightness[i]) * (-2.5);
    add_noise(magnitudes, g.blocks, o.noise_mag, o.seed);
    for (std::size_t i = 0; i < brightness.size(); ++i) brightness[i] = std::pow(10.0, -0.4 * magnitudes[i]);
}

synth_result run_synth(const synth_options& o)
{
    // A FIFO or a device at the output's name is refused before any work.
    if (std::string refusal; !check_destination(o.output, refusal)) return {refusal, true};
    if (std::string refusal = option_refusal(o); !refusal.empty()) return {refusal, true};
    synth_geometry geometry;
    if (o.like.empty())
        geometry = invented_geometry(o);
    else if (std::string why; !like_geometry(o.like, o.like_blocks, geometry, why))
        return {"--like " + why, true};

    std::vector<double> brightness;
    if (std::string why; !synth_brightness(o, geometry, brightness, why)) return {why, false};
    apply_noise(o, geometry, brightness);
    for (std::size_t i = 0; i < brightness.size(); ++i)
        if (!(brightness[i] > 0.0) || std::isinf(brightness[i]))
            return {"the brightness at time " + shown(geometry.times[i]) + " is " + shown(brightness[i]) +
                        ", which no observation file holds",
                    false};
    return {write_synth_file(o, geometry, brightness), false};
}
