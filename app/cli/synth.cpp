#include "app/cli/synth.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

#include "common/checked_file.hpp"
#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"

namespace {

constexpr double degree = 0.017453292519943295;

}  // namespace

std::string run_synth(const synth_options& o)
{
    // A FIFO or a device at the output's name is refused before any work.
    if (std::string refusal; !check_destination(o.output, refusal)) return refusal;
    if (o.subdivisions < 1 || o.subdivisions > 7) return "synth takes 1 to 7 subdivisions";
    if (o.points < 2) return "synth needs at least 2 points";
    if (!(o.period_hours > 0.0) || !(o.hours > 0.0)) return "period and span must be greater than 0";
    mesh sphere, base;
    if (!make_icosahedron(sphere)) return "not enough memory";
    for (int i = 0; i < o.subdivisions; ++i)
        if (!subdivide_mesh(sphere)) return "not enough memory";
    if (!make_twin_shape(sphere, base)) return "not enough memory";
    const double params[7] = {1.0, o.shape[0], o.shape[1], o.shape[2], o.shape[3], o.shape[4], o.shape[5]};
    std::vector<vec3> vertices;
    deform_vertices(base.vertices, params, vertices);

    // One block per geometry: the sun and earth vectors of each.
    std::vector<std::pair<vec3, vec3>> blocks;
    if (o.geometries.empty()) {
        blocks.push_back({vec3{2.5, 0.0, 0.0},
                          vec3{1.5 * std::cos(o.phase_deg * degree), 1.5 * std::sin(o.phase_deg * degree), 0.0}});
    } else {
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
    }

    const std::size_t count = static_cast<std::size_t>(o.points);
    const std::size_t total = count * blocks.size();
    std::vector<double> times(total);
    std::vector<vec3> suns(total), earths(total);
    for (std::size_t b = 0; b < blocks.size(); ++b)
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = b * count + k;
            times[i] = o.start + 30.0 * static_cast<double>(b) +
                       (o.hours / 24.0) * static_cast<double>(k) / static_cast<double>(count - 1);
            suns[i] = blocks[b].first;
            earths[i] = blocks[b].second;
        }

    shape_job job{};
    job.vertex_count = base.vertex_count;
    job.vertices = vertices.data();
    job.shape_number = 1;
    for (int i = 0; i < 7; ++i) job.shape_params[i] = params[i];
    job.facet_count = base.facet_count;
    job.facets = base.facets.data();
    job.sample_count = static_cast<int32_t>(total);
    job.earth_dirs = earths.data();
    job.sun_dirs = suns.data();
    job.sample_times = times.data();
    job.lambda = o.lambda_deg * degree;
    job.beta = o.beta_deg * degree;
    job.phi0 = o.phi0_deg * degree;
    job.t0 = o.t0;
    job.period = o.period_hours / 24;

    prepared_shape shape;
    std::vector<double> brightness(total);
    shape_outcome outcome;
    if (!prepare_shape(job, shape, nullptr, outcome) ||
        !sample_brightness(job, shape, brightness.data(), nullptr, outcome, {}))
        return "the shape could not be evaluated: " + outcome.failure;

    checked_file out;
    if (out.open(o.output, checked_file::placement::replacing)) {
        out.printf("%zu\n", blocks.size());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            out.printf("%d 0\n", o.points);
            for (std::size_t i = b * count; i < (b + 1) * count; ++i)
                out.printf("%.8f %.10e %.8f %.8f %.8f %.8f %.8f %.8f\n", times[i], brightness[i], suns[i].x, suns[i].y,
                           suns[i].z, earths[i].x, earths[i].y, earths[i].z);
        }
        out.close();
    }
    return out.error();
}
