#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mesh/surface_check.hpp"

namespace {

// The octahedron of vertices ±1 on the axes, shifted by `dx`, its facets
// outward and numbered from `first` (1-based).
void add_octahedron(welded_mesh& m, double dx)
{
    const auto first = static_cast<int32_t>(m.vertices.size());
    for (vec3 p : {vec3{1, 0, 0}, vec3{-1, 0, 0}, vec3{0, 1, 0}, vec3{0, -1, 0}, vec3{0, 0, 1}, vec3{0, 0, -1}})
        m.vertices.push_back({p.x + dx, p.y, p.z});
    // +x 1, -x 2, +y 3, -y 4, +z 5, -z 6
    const facet octants[] = {{1, 3, 5}, {3, 2, 5}, {2, 4, 5}, {4, 1, 5}, {3, 1, 6}, {2, 3, 6}, {4, 2, 6}, {1, 4, 6}};
    for (facet f : octants) m.facets.push_back({f.a + first, f.b + first, f.c + first});
}

welded_mesh octahedron()
{
    welded_mesh m;
    add_octahedron(m, 0.0);
    return m;
}

}  // namespace

TEST(SurfaceCheck, FindsWhatMakesAMeshLessThanOneOutwardSurface)
{
    struct variant {
        const char* name;
        welded_mesh mesh;
        bool closed, manifold, oriented;
        int64_t euler;
        int32_t components;
        bool sound;
    };
    welded_mesh open = octahedron(), flipped = octahedron(), inside_out = octahedron(), apart = octahedron(),
                touching = octahedron(), isolated = octahedron();
    open.facets.pop_back();
    std::swap(flipped.facets[2].b, flipped.facets[2].c);
    for (facet& f : inside_out.facets) std::swap(f.b, f.c);
    add_octahedron(apart, 3.0);
    // A second octahedron sharing vertex +x of the first: two sheets at one vertex.
    add_octahedron(touching, 2.0);
    touching.vertices.erase(touching.vertices.begin() + 7);
    for (facet& f : touching.facets)
        for (int32_t* v : {&f.a, &f.b, &f.c}) *v = *v == 8 ? 1 : *v > 8 ? *v - 1 : *v;
    isolated.vertices.push_back({5, 5, 5});
    const variant cases[] = {
        {"octahedron", octahedron(), true, true, true, 2, 1, true},
        {"a facet missing", open, false, true, true, 1, 1, false},
        {"one facet flipped", flipped, true, true, false, 2, 1, false},
        {"inside out", inside_out, true, true, true, 2, 1, false},
        {"two apart", apart, true, true, true, 4, 2, false},
        {"two at one vertex", touching, true, false, true, 3, 1, false},
        {"an isolated vertex", isolated, true, true, true, 3, 1, false},
    };
    for (const variant& c : cases) {
        const surface_report r = check_surface(c.mesh);
        EXPECT_EQ(r.closed, c.closed) << c.name;
        EXPECT_EQ(r.manifold, c.manifold) << c.name;
        EXPECT_EQ(r.oriented, c.oriented) << c.name;
        EXPECT_EQ(r.euler, c.euler) << c.name;
        EXPECT_EQ(r.components, c.components) << c.name;
        std::string why;
        EXPECT_EQ(one_outward_surface(r, why), c.sound) << c.name << ": " << why;
        EXPECT_EQ(why.empty(), c.sound) << c.name;
    }
    // The octahedron of half-diagonal 1 holds 4/3; inside out, minus that.
    EXPECT_NEAR(enclosed_volume(octahedron()), 4.0 / 3.0, 1e-15);
    EXPECT_NEAR(check_surface(inside_out).volume, -4.0 / 3.0, 1e-15);
    // A facet naming a vertex that is not there is refused, not read.
    welded_mesh broken = octahedron();
    broken.facets[0].a = 7;
    EXPECT_FALSE(check_surface(broken).closed);
}
