#include <gtest/gtest.h>

#include <cmath>

#include "mesh/geosphere.hpp"

namespace {

// (b - a) x (c - a) of a facet.
vec3 facet_cross(const mesh& m, const facet& f)
{
    const vec3 a = m.vertices[f.a - 1], b = m.vertices[f.b - 1], c = m.vertices[f.c - 1];
    const vec3 u{b.x - a.x, b.y - a.y, b.z - a.z}, v{c.x - a.x, c.y - a.y, c.z - a.z};
    return {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

// Every facet's normal points away from the origin (through its centroid).
void expect_outward(const mesh& m)
{
    for (const facet& f : m.facets) {
        const vec3 n = facet_cross(m, f);
        const vec3 a = m.vertices[f.a - 1], b = m.vertices[f.b - 1], c = m.vertices[f.c - 1];
        const double dot = n.x * (a.x + b.x + c.x) + n.y * (a.y + b.y + c.y) + n.z * (a.z + b.z + c.z);
        ASSERT_GT(dot, 0.0);
    }
}

}  // namespace

TEST(Geosphere, SeedRecordsAndFacets)
{
    mesh m;
    ASSERT_EQ(make_icosahedron(m), 1);
    EXPECT_EQ(m.facet_count, 20);
    EXPECT_EQ(m.vertex_count, 40);
    EXPECT_EQ(m.vertices.size(), 40u);
    EXPECT_EQ(m.facets[0].a, 1);
    EXPECT_EQ(m.facets[0].b, 2);
    EXPECT_EQ(m.facets[0].c, 3);
    EXPECT_NEAR(m.vertices[0].x, 0.894427190999916, 1e-15);
    EXPECT_EQ(m.vertices[0].y, 0.0);
    EXPECT_NEAR(m.vertices[0].z, 0.447213595499958, 1e-15);
    EXPECT_EQ(m.vertices[2].x, 0.0);
    EXPECT_EQ(m.vertices[2].z, 1.0);
    // The south pole is stored as (-0, -0, -1).
    EXPECT_EQ(m.vertices[6].z, -1.0);
    EXPECT_TRUE(std::signbit(m.vertices[6].x));
    EXPECT_TRUE(std::signbit(m.vertices[6].y));
    // Sector 1 starts at record 9 with the angle 2 pi / 5 reached by addition.
    EXPECT_DOUBLE_EQ(m.vertices[8].x, 0.4 * std::sqrt(5.0) * std::cos(1.2566370614359172));
    // Facets refer only to records of their own sector.
    for (int k = 0; k < 5; ++k)
        for (int i = 0; i < 4; ++i) {
            const facet& f = m.facets[static_cast<std::size_t>(4 * k + i)];
            for (int32_t v : {f.a, f.b, f.c}) {
                EXPECT_GT(v, 8 * k);
                EXPECT_LE(v, 8 * k + 8);
            }
        }
    expect_outward(m);
}

TEST(Geosphere, SeedReplacesWhatTheMeshHeld)
{
    mesh m;
    make_icosahedron(m);
    subdivide_mesh(m);
    ASSERT_EQ(make_icosahedron(m), 1);
    EXPECT_EQ(m.facets.size(), 20u);
    EXPECT_EQ(m.vertices.size(), 40u);
}

TEST(Geosphere, FirstPassLayout)
{
    mesh m;
    make_icosahedron(m);
    const mesh seed = m;
    ASSERT_EQ(subdivide_mesh(m), 1);
    const int32_t expected[4][3] = {{1, 4, 6}, {4, 2, 5}, {5, 3, 6}, {6, 4, 5}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m.facets[static_cast<std::size_t>(i)].a, expected[i][0]);
        EXPECT_EQ(m.facets[static_cast<std::size_t>(i)].b, expected[i][1]);
        EXPECT_EQ(m.facets[static_cast<std::size_t>(i)].c, expected[i][2]);
    }
    // Record 4 is the normalised sum of seed records 1 and 2.
    const vec3 p = seed.vertices[0], q = seed.vertices[1];
    const vec3 s{p.x + q.x, p.y + q.y, p.z + q.z};
    const double length = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
    EXPECT_EQ(m.vertices[3].x, s.x / length);
    EXPECT_EQ(m.vertices[3].y, s.y / length);
    EXPECT_EQ(m.vertices[3].z, s.z / length);
    // Corners are copied unchanged.
    EXPECT_EQ(m.vertices[0].x, seed.vertices[0].x);
    EXPECT_EQ(m.vertices[2].z, seed.vertices[2].z);
}

TEST(Geosphere, CountsOrientationAndUnitLengthPerPass)
{
    mesh m;
    make_icosahedron(m);
    for (int n = 1; n <= 6; ++n) {
        ASSERT_EQ(subdivide_mesh(m), 1);
        const int32_t facets = 20 << (2 * n);
        EXPECT_EQ(m.facet_count, facets) << "n = " << n;
        EXPECT_EQ(m.vertex_count, facets / 2 * 3) << "n = " << n;
        EXPECT_EQ(static_cast<int32_t>(m.facets.size()), facets);
        EXPECT_EQ(static_cast<int32_t>(m.vertices.size()), m.vertex_count);
        expect_outward(m);
        for (const vec3& v : m.vertices)
            ASSERT_NEAR(std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z), 1.0, 4e-16) << "n = " << n;
    }
}

TEST(Geosphere, PassWithoutVertexArrayChangesNothing)
{
    mesh m;
    m.facet_count = 7;
    EXPECT_EQ(subdivide_mesh(m), 0);
    EXPECT_EQ(m.facet_count, 7);
    EXPECT_TRUE(m.facets.empty());
}
