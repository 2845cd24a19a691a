#include "sweep/fast_eval.hpp"

#include <cassert>
#include <cstdio>
#include <new>

#include "common/control_ids.hpp"
#include "photometry/brightness.hpp"
#include "photometry/view_geometry.hpp"

std::vector<sample_view> shared_sample_views(const shape_job& job)
{
    std::vector<sample_view> views(static_cast<std::size_t>(job.sample_count));
    for (int32_t i = 0; i < job.sample_count; ++i) {
        sample_view& v = views[static_cast<std::size_t>(i)];
        const double phi = rotation_angle(job.sample_times[i], job.t0, job.period, job.phi0);
        comp_view_matrices(v.body_rot, v.seen.earth_frame, v.seen.sun_frame, job.earth_dirs[i], job.sun_dirs[i],
                           job.lambda, job.beta, phi);
        v.seen.earth_dir = body_direction(v.body_rot, job.earth_dirs[i]);
        v.seen.sun_dir = body_direction(v.body_rot, job.sun_dirs[i]);
    }
    return views;
}

void deform_vertices(const std::vector<vec3>& base, const double* p, std::vector<vec3>& out)
{
    assert(base.size() % 2 == 0);  // two lobes of as many vertices
    out.resize(base.size());
    const std::size_t half = base.size() / 2;
    for (std::size_t k = 0; k < half; ++k) out[k] = {base[k].x, base[k].y * p[1], base[k].z * p[2]};
    for (std::size_t k = half; k < base.size(); ++k) out[k] = {base[k].x * p[3], base[k].y * p[4], base[k].z * p[5]};
}

bool fast_shape_brightness(const shape_job& job, const sample_view* views, shape_scratch& s, status_ops* ui,
                           shape_outcome& outcome, const stop_request& stop)
{
    if (!prepare_shape(job, s.shape, ui, outcome)) return false;
    s.brightness.resize(static_cast<std::size_t>(job.sample_count));
    s.magnitudes.resize(static_cast<std::size_t>(job.sample_count));
    const prepared_shape& shape = s.shape;
    visibility_body body;
    body.vertices = shape.vertices.data();
    body.vertex_count = job.vertex_count;
    body.facets = job.facets;
    body.centres = shape.centres.data();
    body.normals = shape.normals.data();
    body.facet_count = shape.facet_count;
    // Two convex lobes at every subdivision: the deformed geodesic spheres.
    body.lobe_split = job.facet_count;
    body.reach[0] = facet_reach(shape.vertices.data(), job.facets, shape.centres.data(), 0, job.facet_count);
    body.reach[1] =
        facet_reach(shape.vertices.data(), job.facets, shape.centres.data(), job.facet_count, shape.facet_count);
    lay_out_body(body, s.columns);
    const photo_params params;
    for (int32_t i = 0; i < job.sample_count; ++i) {
        if (stop.requested()) {
            outcome.stopped = true;
            return false;
        }
        const sample_view& v = views[i];
        if (!fast_visibility(s.visibility, body, s.columns, v.seen, stop)) {
            outcome.stopped = true;
            return false;
        }
        if (s.visibility_log)
            s.visibility_log->insert(s.visibility_log->end(), s.visibility.bytes.begin(),
                                     s.visibility.bytes.begin() + shape.facet_count);
        double cos_phase, seen_area;
        s.brightness[static_cast<std::size_t>(i)] =
            comp_brightness(shape.normals.data(), v.body_rot, shape.facet_count, cos_phase, seen_area,
                            s.visibility.bytes.data(), job.earth_dirs[i], job.sun_dirs[i], params);
    }
    return true;
}

int fast_eval_shape(const shape_job& job, const sample_view* views, shape_scratch& s, shape_result* table,
                    status_ops* ui, shape_outcome& outcome, const stop_request& stop)
{
    checked_file out;
    if (!job.no_curves && !out.open(lightcurve_file_name(job.shape_number))) {
        outcome.failure = out.error();
        return 0;
    }
    if (!fast_shape_brightness(job, views, s, ui, outcome, stop)) {
        out.discard();
        return 0;
    }
    return finish_shape(job, s.brightness.data(), s.magnitudes.data(), out, table, outcome);
}
