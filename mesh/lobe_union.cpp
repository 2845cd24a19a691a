// The only user of CGAL: its corefinement computes the union of the lobes.
//
// The kernel is Epeck (exact predicates, exact constructions): where the
// lobes meet, the corefinement builds new points on the intersection of
// facets and then decides on which side of other facets they lie. With
// rounded constructions (Epick) a point built on one facet may land a hair
// on the wrong side of its neighbour, which breaks the surface exactly where
// the grid's shapes put facets in one plane or lobes tip to tip. Exact
// constructions keep every decision consistent; the result is rounded to
// doubles once, at the end.

#include "mesh/lobe_union.hpp"

#include <CGAL/Exact_predicates_exact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/corefinement.h>
#include <CGAL/Surface_mesh.h>

#include <exception>
#include <vector>

namespace {

using kernel = CGAL::Exact_predicates_exact_constructions_kernel;
using surface = CGAL::Surface_mesh<kernel::Point_3>;

// Builds one lobe, facets [begin, end) of `lobes`, as a surface mesh; false
// when a facet cannot join it as a 2-manifold or the lobe is not closed.
bool build_lobe(const welded_mesh& lobes, int32_t begin, int32_t end, surface& lobe)
{
    std::vector<surface::Vertex_index> index(lobes.vertices.size(), surface::null_vertex());
    // The surface's vertex of 1-based welded vertex `v`, added when first met.
    auto vertex_of = [&](int32_t v) {
        surface::Vertex_index& id = index[static_cast<std::size_t>(v - 1)];
        if (id == surface::null_vertex()) {
            const vec3& p = lobes.vertices[static_cast<std::size_t>(v - 1)];
            id = lobe.add_vertex(kernel::Point_3(p.x, p.y, p.z));
        }
        return id;
    };
    for (int32_t f = begin; f < end; ++f) {
        const facet& t = lobes.facets[static_cast<std::size_t>(f)];
        if (lobe.add_face(vertex_of(t.a), vertex_of(t.b), vertex_of(t.c)) == surface::null_face()) return false;
    }
    return CGAL::is_closed(lobe);
}

}  // namespace

bool lobe_union_built()
{
    return true;
}

bool unite_lobes(const welded_mesh& lobes, int32_t first_facets, welded_mesh& out, std::string& why)
{
    const auto facets = static_cast<int32_t>(lobes.facets.size());
    surface first, second, joined;
    if (first_facets <= 0 || first_facets >= facets || !build_lobe(lobes, 0, first_facets, first) ||
        !build_lobe(lobes, first_facets, facets, second)) {
        why = "a lobe is not a closed 2-manifold surface";
        return false;
    }
    try {
        if (!CGAL::Polygon_mesh_processing::corefine_and_compute_union(first, second, joined)) {
            why = "the union of the lobes is not a 2-manifold surface (lobes that touch at a point or along an edge)";
            return false;
        }
    } catch (const std::exception& e) {
        why = std::string("the union of the lobes failed: ") + e.what();
        return false;
    }
    joined.collect_garbage();
    out.vertices.clear();
    out.facets.clear();
    out.vertices.reserve(joined.number_of_vertices());
    for (surface::Vertex_index v : joined.vertices()) {
        const kernel::Point_3& p = joined.point(v);
        out.vertices.push_back({CGAL::to_double(p.x()), CGAL::to_double(p.y()), CGAL::to_double(p.z())});
    }
    out.facets.reserve(joined.number_of_faces());
    for (surface::Face_index f : joined.faces()) {
        int32_t corner[3], n = 0;
        for (surface::Vertex_index v : CGAL::vertices_around_face(joined.halfedge(f), joined)) {
            if (n == 3) break;
            corner[n++] = static_cast<int32_t>(v.idx()) + 1;
        }
        if (n != 3) {
            why = "the union of the lobes has a facet that is not a triangle";
            return false;
        }
        out.facets.push_back({corner[0], corner[1], corner[2]});
    }
    return true;
}
