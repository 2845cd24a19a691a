#include "photometry/visibility.hpp"
#include "common/handles.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <stdexcept>

#include "photometry/view_geometry.hpp"

namespace {

// Start value of every byte of a sample: not yet seen by any pass.
constexpr uint8_t untouched = 255;

// The three edge vectors of a projected facet; only x and y are used.
struct edge_set {
    vec3 e1;  // second corner - first corner
    vec3 e2;  // third corner - second corner
    vec3 e3;  // first corner - third corner
};

edge_set edges_of(const proj_facet& r)
{
    const vec3& q1 = r.corner[0];
    const vec3& q2 = r.corner[1];
    const vec3& q3 = r.corner[2];
    return {{q2.x - q1.x, q2.y - q1.y, 0.0}, {q3.x - q2.x, q3.y - q2.y, 0.0}, {q1.x - q3.x, q1.y - q3.y, 0.0}};
}

// Whether p lies strictly inside the projected triangle of r.
bool strictly_covers(const proj_facet& r, const edge_set& e, double px, double py)
{
    if (!(py > r.y_min) || !(py < r.y_max) || !(px > r.x_min) || !(px < r.x_max)) return false;
    return inside_by_signs(px, py, r.corner[0].x, r.corner[0].y, r.corner[1].x, r.corner[1].y, r.corner[2].x,
                           r.corner[2].y, e.e1.x, e.e1.y, e.e2.x, e.e2.y, e.e3.x, e.e3.y);
}

}  // namespace

int comp_visibility(std::vector<uint8_t>& vis_bytes, std::vector<proj_facet>& records, const vec3* vertices,
                    const facet* facets, const vec3* centres, const facet_normal* normals, int32_t facet_count,
                    const mat3& body_rot, const mat3& earth_frame, const mat3& sun_frame, vec3 earth, vec3 sun,
                    status_ops* ui)
{
    if (!replace_array(records, static_cast<std::size_t>(facet_count))) return 0;
    if (!replace_array(vis_bytes, static_cast<std::size_t>(facet_count))) return 0;
    std::fill(vis_bytes.begin(), vis_bytes.end(), untouched);

    const vec3 earth_dir = body_direction(body_rot, earth);
    const vec3 sun_dir = body_direction(body_rot, sun);

    const int n_sun = project_facets(sun_frame, vertices, facets, centres, records.data(), normals, facet_count,
                                     vis_bytes.data(), sun_dir);
    comp_occlusion(n_sun, records.data(), vis_bytes.data(), ui);
    const int n_earth = project_facets(earth_frame, vertices, facets, centres, records.data(), normals, facet_count,
                                       vis_bytes.data(), earth_dir);
    comp_occlusion(n_earth, records.data(), vis_bytes.data(), ui);
    return n_earth;
}

int project_facets(const mat3& frame, const vec3* vertices, const facet* facets, const vec3* centres,
                   proj_facet* records, const facet_normal* normals, int32_t facet_count, uint8_t* vis_bytes,
                   vec3 direction)
{
    const vec3& d = direction;
    const bool has_direction =
        std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.z) && (d.x != 0.0 || d.y != 0.0 || d.z != 0.0);
    int n = 0;
    for (int32_t i = 0; i < facet_count; ++i) {
        const facet_normal& nrm = normals[i];
        const double c = nrm.nx * d.x + nrm.ny * d.y + nrm.nz * d.z;
        if (!has_direction || !(c > 0)) {
            vis_bytes[i] = 0;
            continue;
        }
        vis_bytes[i] = pass_byte(vis_bytes[i], c);

        // Written even when the byte is now 0: a dark facet still covers.
        proj_facet& r = records[n++];
        r.centre = apply(frame, centres[i]);
        r.corner[0] = apply(frame, vertices[facets[i].a - 1]);
        r.corner[1] = apply(frame, vertices[facets[i].b - 1]);
        r.corner[2] = apply(frame, vertices[facets[i].c - 1]);
        r.x_min = std::min(std::min(r.corner[0].x, r.corner[1].x), r.corner[2].x);
        r.x_max = std::max(std::max(r.corner[0].x, r.corner[1].x), r.corner[2].x);
        r.y_min = std::min(std::min(r.corner[0].y, r.corner[1].y), r.corner[2].y);
        r.y_max = std::max(std::max(r.corner[0].y, r.corner[1].y), r.corner[2].y);
        r.index = i;
    }
    std::sort(records, records + n, cmp_depth);
    return n;
}

bool cmp_depth(const proj_facet& a, const proj_facet& b)
{
    if (a.centre.z < b.centre.z) return true;
    if (b.centre.z < a.centre.z) return false;
    return a.index < b.index;
}

int comp_occlusion(int32_t n, const proj_facet* records, uint8_t* vis_bytes, status_ops* ui)
{
    std::vector<edge_set> edges;
    if (!replace_array(edges, static_cast<std::size_t>(n))) {
        if (ui) ui->message_box("Virtual memory not allocated", "Error", box_icon::error);
        return -1;
    }
    for (int32_t i = 0; i < n; ++i) edges[i] = edges_of(records[i]);

    int count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = records[i].index;
        if (vis_bytes[k] == 0) continue;
        const double px = records[i].centre.x;
        const double py = records[i].centre.y;
        for (int32_t j = i + 1; j < n; ++j) {
            if (strictly_covers(records[j], edges[j], px, py)) {
                vis_bytes[k] = 0;
                break;
            }
        }
        if (vis_bytes[k] != 0) ++count;
    }
    return count;
}
