#include "mesh/base_shape.hpp"

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"

bool check_subdivisions(int n, std::string& why)
{
    if (n >= min_subdivisions && n <= max_subdivisions) return true;
    why = "the subdivision count must lie between " + std::to_string(min_subdivisions) + " and " +
          std::to_string(max_subdivisions);
    return false;
}

std::shared_ptr<const mesh> build_base_mesh(int n)
{
    mesh sphere;
    if (!make_icosahedron(sphere)) return nullptr;
    for (int pass = 0; pass < n; ++pass)
        if (!subdivide_mesh(sphere)) return nullptr;
    auto twin = std::make_shared<mesh>();
    if (!make_twin_shape(sphere, *twin)) return nullptr;
    return twin;
}

int64_t base_vertex_count(int n)
{
    // 20 * 4^n facets per sphere, three vertex records for every two facets,
    // two spheres.
    return 60 * (int64_t{1} << (2 * n));
}
