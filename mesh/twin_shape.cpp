#include "mesh/twin_shape.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "common/checked_file.hpp"
#include "common/handles.hpp"

int make_twin_shape(mesh& sphere, mesh& twin)
{
    const std::size_t v = sphere.vertices.size();
    const std::size_t f = sphere.facets.size();
    if (2 * v > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return 0;
    mesh built;
    if (!replace_array(built.vertices, 2 * v) || !replace_array(built.facets, 2 * f)) return 0;
    for (std::size_t i = 0; i < v; ++i) {
        vec3 p = sphere.vertices[i];
        built.vertices[i] = {p.x + 1.0, p.y, p.z};
        built.vertices[v + i] = {p.x - 1.0, p.y, p.z};
    }
    const int32_t shift = static_cast<int32_t>(v);
    for (std::size_t i = 0; i < f; ++i) {
        facet t = sphere.facets[i];
        built.facets[i] = t;
        built.facets[f + i] = {t.a + shift, t.b + shift, t.c + shift};
    }
    built.vertex_count = static_cast<int32_t>(2 * v);
    built.facet_count = static_cast<int32_t>(f);
    twin = std::move(built);
    sphere = mesh();
    return 1;
}

std::string obj_file_name(int n)
{
    char name[64];
    std::snprintf(name, sizeof name, "basic_shape_%i.obj", n);
    return name;
}

bool write_obj(const mesh& base, int n, std::string& why)
{
    // Written beside the old file and renamed over it only when complete.
    checked_file out;
    if (out.open(obj_file_name(n), checked_file::placement::replacing)) {
        // A large buffer: the file of n = 10 has over 100 million lines.
        out.buffer(1 << 20);
        for (const vec3& p : base.vertices)
            if (!out.printf("v %lf %lf %lf\n", p.x, p.y, p.z)) break;
        for (const facet& t : base.facets)
            if (!out.printf("f %i %i %i\n", t.a, t.b, t.c)) break;
        out.close();
    }
    why = out.error();
    return why.empty();
}
