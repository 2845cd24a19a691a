#include "app/cli/synth.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"

namespace {

constexpr double degree = 0.017453292519943295;

}  // namespace

std::string run_synth(const synth_options& o)
{
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

    const std::size_t count = static_cast<std::size_t>(o.points);
    std::vector<double> times(count);
    const vec3 sun{2.5, 0.0, 0.0};
    const vec3 earth{1.5 * std::cos(o.phase_deg * degree), 1.5 * std::sin(o.phase_deg * degree), 0.0};
    std::vector<vec3> suns(count, sun), earths(count, earth);
    for (std::size_t k = 0; k < count; ++k)
        times[k] = o.start + (o.hours / 24.0) * static_cast<double>(k) / static_cast<double>(count - 1);

    shape_job job{};
    job.vertex_count = base.vertex_count;
    job.vertices = vertices.data();
    job.shape_number = 1;
    for (int i = 0; i < 7; ++i) job.shape_params[i] = params[i];
    job.facet_count = base.facet_count;
    job.facets = base.facets.data();
    job.sample_count = o.points;
    job.earth_dirs = earths.data();
    job.sun_dirs = suns.data();
    job.sample_times = times.data();
    job.lambda = o.lambda_deg * degree;
    job.beta = o.beta_deg * degree;
    job.phi0 = o.phi0_deg * degree;
    job.t0 = o.t0;
    job.period = o.period_hours / 24;

    prepared_shape shape;
    std::vector<double> brightness(count);
    shape_outcome outcome;
    if (!prepare_shape(job, shape, nullptr, outcome) ||
        !sample_brightness(job, shape, brightness.data(), nullptr, outcome, {}))
        return "the shape could not be evaluated: " + outcome.failure;

    checked_file out;
    if (out.open(o.output, checked_file::placement::replacing)) {
        out.printf("1\n%d 0\n", o.points);
        for (std::size_t k = 0; k < count; ++k)
            out.printf("%.8f %.10e %.8f %.8f %.8f %.8f %.8f %.8f\n", times[k], brightness[k], sun.x, sun.y, sun.z,
                       earth.x, earth.y, earth.z);
        out.close();
    }
    return out.error();
}
