#include "support/body_views.hpp"

#include <cmath>

#include "mesh/base_shape.hpp"
#include "mesh/geosphere.hpp"
#include "photometry/view_geometry.hpp"

namespace {

// Normals and centres of a body's facets.
void finish(viewable_body& b)
{
    const int32_t n = static_cast<int32_t>(b.facets.size());
    comp_normal(n, b.vertices.data(), b.facets.data(), b.normals);
    comp_facet_center(n, b.vertices.data(), b.facets.data(), b.centres);
}

// Mᵀ v: the inverse of an orthonormal matrix applied.
vec3 transposed(const mat3& M, vec3 v)
{
    return {M.m[0] * v.x + M.m[3] * v.y + M.m[6] * v.z, M.m[1] * v.x + M.m[4] * v.y + M.m[7] * v.z,
            M.m[2] * v.x + M.m[5] * v.y + M.m[8] * v.z};
}

}  // namespace

viewable_body unit_sphere(int n)
{
    mesh sphere;
    make_icosahedron(sphere);
    for (int pass = 0; pass < n; ++pass) subdivide_mesh(sphere);
    viewable_body b;
    b.vertices = sphere.vertices;
    b.facets = sphere.facets;
    b.lobe_facets = static_cast<int32_t>(b.facets.size());
    finish(b);
    return b;
}

viewable_body touching_twins(int n)
{
    const auto base = build_base_mesh(n);
    viewable_body b;
    b.vertices = base->vertices;
    b.facets = base->facets;
    b.lobe_facets = base->facet_count;
    finish(b);
    return b;
}

std::vector<viewed_facet> view_body(const viewable_body& body, vec3 earth_in_body, vec3 sun_in_body)
{
    const double lambda = 0.3, beta = 0.4, phi = 1.1;
    mat3 body_rot, earth_frame, sun_frame;
    comp_view_matrices(body_rot, earth_frame, sun_frame, {1, 0, 0}, {1, 0, 0}, lambda, beta, phi);
    const vec3 earth = transposed(body_rot, earth_in_body);
    const vec3 sun = transposed(body_rot, sun_in_body);
    comp_view_matrices(body_rot, earth_frame, sun_frame, earth, sun, lambda, beta, phi);
    return view_from_earth(body.vertices.data(), body.facets.data(), body.centres.data(), body.normals.data(),
                           static_cast<int32_t>(body.facets.size()), body.lobe_facets, body_rot, earth_frame, sun_frame,
                           earth, sun);
}

double seen_area(const std::vector<viewed_facet>& facets, facet_light light)
{
    double area = 0.0;
    for (const viewed_facet& f : facets)
        if (f.light == light)
            area += 0.5 * std::fabs((f.x[1] - f.x[0]) * (f.y[2] - f.y[0]) - (f.x[2] - f.x[0]) * (f.y[1] - f.y[0]));
    return area;
}

view view_of(vec3 earth, vec3 sun, double lambda, double beta, double phi)
{
    view v{earth, sun, {}, {}, {}};
    comp_view_matrices(v.body_rot, v.earth_frame, v.sun_frame, earth, sun, lambda, beta, phi);
    return v;
}
