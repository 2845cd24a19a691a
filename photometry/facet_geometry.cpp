#include "photometry/facet_geometry.hpp"
#include "common/handles.hpp"

#include <cmath>
#include <cstddef>
#include <new>
#include <stdexcept>

int comp_normal(int32_t facet_count, const vec3* vertices, const facet* facets, std::vector<facet_normal>& normals,
                status_ops* ui)
{
    if (!replace_array(normals, static_cast<std::size_t>(facet_count))) {
        if (ui) ui->message_box("Virtual memory not allocated", "Error", box_icon::error);
        return 0;
    }
    for (int32_t n = 0; n < facet_count; ++n) {
        const vec3& p = vertices[facets[n].a - 1];
        const vec3& q = vertices[facets[n].b - 1];
        const vec3& r = vertices[facets[n].c - 1];
        const vec3 a{q.x - p.x, q.y - p.y, q.z - p.z};
        const vec3 b{r.x - p.x, r.y - p.y, r.z - p.z};
        const vec3 c{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
        const double len = std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z);
        if (len == 0.0) {
            // A facet without area has no direction: it faces nothing and
            // weighs nothing.
            normals[n] = {0.0, 0.0, 0.0, 0.0};
        } else {
            normals[n] = {c.x / len, c.y / len, c.z / len, len};
        }
    }
    return 1;
}

int comp_facet_center(int32_t facet_count, const vec3* vertices, const facet* facets, std::vector<vec3>& centres)
{
    if (!replace_array(centres, static_cast<std::size_t>(facet_count))) return 0;
    for (int32_t n = 0; n < facet_count; ++n) {
        const vec3& first = vertices[facets[n].a - 1];
        const vec3& second = vertices[facets[n].b - 1];
        const vec3& third = vertices[facets[n].c - 1];
        // The second corner enters the sum first.
        centres[n] = {(second.x + first.x + third.x) / 3.0, (second.y + first.y + third.y) / 3.0,
                      (second.z + first.z + third.z) / 3.0};
    }
    return 1;
}
