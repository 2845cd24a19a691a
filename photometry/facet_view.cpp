#include "photometry/facet_view.hpp"

#include <algorithm>

#include "photometry/brightness.hpp"
#include "photometry/fast_visibility.hpp"
#include "photometry/view_geometry.hpp"

namespace {

// The facing facets of a frame, projected, in no particular order.
std::vector<viewed_facet> project_facing(const vec3* vertices, const facet* facets, const facet_normal* normals,
                                         int32_t facet_count, const mat3& frame, vec3 toward)
{
    std::vector<viewed_facet> seen;
    for (int32_t i = 0; i < facet_count; ++i) {
        const facet_normal& n = normals[i];
        const double mu = n.nx * toward.x + n.ny * toward.y + n.nz * toward.z;
        if (!(mu > 0)) continue;
        viewed_facet v{};
        const int32_t corner[3] = {facets[i].a, facets[i].b, facets[i].c};
        double z = 0.0;
        for (int k = 0; k < 3; ++k) {
            const vec3 p = apply(frame, vertices[corner[k] - 1]);
            v.x[k] = p.x;
            v.y[k] = p.y;
            z = z + p.z;
        }
        v.depth = z / 3.0;
        v.radiance = mu;
        v.light = facet_light::lit;
        v.index = i;
        seen.push_back(v);
    }
    return seen;
}

// Farthest first; equal depths by facet index, so the order is fixed.
void sort_far_first(std::vector<viewed_facet>& seen)
{
    std::sort(seen.begin(), seen.end(), [](const viewed_facet& a, const viewed_facet& b) {
        return a.depth < b.depth || (a.depth == b.depth && a.index < b.index);
    });
}

// The highest vertex index the facets use: the vertices they need.
int32_t max_vertex_index(const facet* facets, int32_t facet_count)
{
    int32_t top = 0;
    for (int32_t i = 0; i < facet_count; ++i) top = std::max({top, facets[i].a, facets[i].b, facets[i].c});
    return top;
}

}  // namespace

std::vector<viewed_facet> view_from_earth(const vec3* vertices, const facet* facets, const vec3* centres,
                                          const facet_normal* normals, int32_t facet_count, int32_t lobe_split,
                                          const mat3& body_rot, const mat3& earth_frame, const mat3& sun_frame,
                                          vec3 earth, vec3 sun)
{
    const vec3 e = body_direction(body_rot, earth);
    const vec3 s = body_direction(body_rot, sun);
    const std::size_t size = static_cast<std::size_t>(facet_count);
    const int32_t split = lobe_split > 0 ? lobe_split : facet_count;
    visibility_body body;
    body.vertices = vertices;
    body.vertex_count = max_vertex_index(facets, facet_count);
    body.facets = facets;
    body.centres = centres;
    body.normals = normals;
    body.facet_count = facet_count;
    body.lobe_split = lobe_split;
    body.reach[0] = facet_reach(vertices, facets, centres, 0, split);
    body.reach[1] = facet_reach(vertices, facets, centres, split, facet_count);

    // The model's own bytes: nonzero for the lit and seen facets.
    fast_visibility_scratch scratch;
    std::vector<uint8_t> model;
    if (fast_visibility(scratch, body, {earth_frame, sun_frame, e, s})) model = scratch.bytes;
    // Both passes toward the earth tell the hidden facets from the shadowed
    // ones: a facet is 0 there only when covered from the earth (or seen so
    // edge-on that its byte rounds to 0).
    std::vector<uint8_t> seen_bytes(size, 255);
    if (fast_visibility(scratch, body, {earth_frame, earth_frame, e, e})) seen_bytes = scratch.bytes;

    std::vector<viewed_facet> seen = project_facing(vertices, facets, normals, facet_count, earth_frame, e);
    const double c = photo_params{}.lambert_weight;
    for (viewed_facet& v : seen) {
        const facet_normal& n = normals[v.index];
        const double mu = v.radiance;
        const double mu0 = n.nx * s.x + n.ny * s.y + n.nz * s.z;
        v.radiance = 0.0;
        if (model.size() == size && model[v.index] != 0) {
            v.light = facet_light::lit;
            v.radiance = (1 / (mu + mu0) + c) * mu0;
        } else if (seen_bytes[v.index] == 0) {
            v.light = facet_light::hidden;
        } else if (!(mu0 * 254.0 >= 1.0)) {
            // Turned away, or so close to the terminator that the model's
            // byte rounds to 0: night, not a shadow of the other lobe.
            v.light = facet_light::night;
        } else {
            v.light = facet_light::shadowed;
        }
    }
    sort_far_first(seen);
    return seen;
}

std::vector<viewed_facet> view_along_axis(const vec3* vertices, const facet* facets, const facet_normal* normals,
                                          int32_t facet_count, int axis)
{
    // Right-handed frames whose third row points along the axis: seen from
    // +x the picture shows y right and z up; from +y, z right and x up;
    // from +z, x right and y up.
    static const mat3 frames[3] = {
        {{0, 1, 0, 0, 0, 1, 1, 0, 0}},
        {{0, 0, 1, 1, 0, 0, 0, 1, 0}},
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}},
    };
    const mat3& frame = frames[std::clamp(axis, 0, 2)];
    const vec3 toward{frame.m[6], frame.m[7], frame.m[8]};
    std::vector<viewed_facet> seen = project_facing(vertices, facets, normals, facet_count, frame, toward);
    sort_far_first(seen);
    return seen;
}
