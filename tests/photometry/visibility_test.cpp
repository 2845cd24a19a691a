#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "photometry/visibility.hpp"
#include "support/body_views.hpp"
#include "support/failing_allocations.hpp"
#include "support/recording_front_end.hpp"

namespace {

// The unit direction at cosine c from the normal (0, 0, 1).
vec3 at_cosine(double c)
{
    return {std::sqrt(1 - c * c), 0, c};
}

// One facet in the xy plane facing +z, projected with the identity frame.
struct flat_facet {
    std::vector<vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    std::vector<facet> f{{1, 2, 3}};
    std::vector<vec3> centre{{1.0 / 3, 1.0 / 3, 0}};
    std::vector<facet_normal> normal{{0, 0, 1, 1}};
    std::vector<proj_facet> records = std::vector<proj_facet>(1);
    uint8_t byte = 255;

    int pass(double cosine)
    {
        return project_facets(identity, v.data(), f.data(), centre.data(), records.data(), normal.data(), 1, &byte,
                              at_cosine(cosine));
    }
};

// A record for the covering test: a triangle in the xy plane at height z.
proj_facet record(int32_t index, double z, vec3 a, vec3 b, vec3 c, double px, double py)
{
    proj_facet r{};
    r.centre = {px, py, z};
    r.corner[0] = a;
    r.corner[1] = b;
    r.corner[2] = c;
    r.x_min = std::min({a.x, b.x, c.x});
    r.x_max = std::max({a.x, b.x, c.x});
    r.y_min = std::min({a.y, b.y, c.y});
    r.y_max = std::max({a.y, b.y, c.y});
    r.index = index;
    return r;
}

// A lower facet (index 0) whose centre is (px, py), under the triangle
// (0,0) (1,0) (0,1) at height 1 (index 1). Returns the lower facet's byte.
uint8_t under_unit_triangle(double px, double py, bool clockwise = false, uint8_t upper_byte = 200)
{
    const vec3 a{0, 0, 1}, b{1, 0, 1}, c{0, 1, 1};
    const std::vector<proj_facet> r{record(0, 0, {0, 0, 0}, {0.1, 0, 0}, {0, 0.1, 0}, px, py),
                                    clockwise ? record(1, 1, a, c, b, 1.0 / 3, 1.0 / 3)
                                              : record(1, 1, a, b, c, 1.0 / 3, 1.0 / 3)};
    uint8_t bytes[2] = {200, upper_byte};
    comp_occlusion(2, r.data(), bytes);
    EXPECT_EQ(bytes[1], upper_byte);
    return bytes[0];
}

}  // namespace

TEST(ProjectFacets, ByteOfEachPass)
{
    struct pass_case {
        double sun_cosine, earth_cosine;
        int sun_byte, earth_byte;
    };
    for (const pass_case& t : std::vector<pass_case>{{1, 1, 254, 152},
                                                     {0.5, 0.5, 127, 139},
                                                     {1, 0.01, 254, 254},  // 276.9 capped
                                                     {0.003, 1, 0, 0},
                                                     {-0.5, 1, 0, 0},
                                                     {1, 0, 254, 0}}) {
        flat_facet s;
        // A record is written whenever the facet faces the direction, even
        // when its byte drops to 0.
        EXPECT_EQ(s.pass(t.sun_cosine), t.sun_cosine > 0);
        EXPECT_EQ(s.byte, t.sun_byte) << "sun cosine " << t.sun_cosine;
        EXPECT_EQ(s.pass(t.earth_cosine), t.earth_cosine > 0);
        EXPECT_EQ(s.byte, t.earth_byte) << "earth cosine " << t.earth_cosine;
    }
}

TEST(ProjectFacets, RecordsAreProjectedAndSortedByHeight)
{
    // Two facets facing +z at heights 2 and 1; the frame swaps x and y.
    const std::vector<vec3> v{{0, 0, 2}, {3, 0, 2}, {0, 1, 2}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}};
    const std::vector<facet> f{{1, 2, 3}, {4, 5, 6}};
    const std::vector<vec3> centres{{1, 1.0 / 3, 2}, {1.0 / 3, 1.0 / 3, 1}};
    const std::vector<facet_normal> normals(2, facet_normal{0, 0, 1, 1});
    const mat3 swap_xy{{0, 1, 0, 1, 0, 0, 0, 0, -1}};
    std::vector<proj_facet> r(2);
    std::vector<uint8_t> bytes(2, 255);
    ASSERT_EQ(project_facets(swap_xy, v.data(), f.data(), centres.data(), r.data(), normals.data(), 2, bytes.data(),
                             {0, 0, 1}),
              2);
    // Heights are -2 and -1 in this frame: facet 0 comes first.
    EXPECT_EQ(r[0].index, 0);
    EXPECT_EQ(r[0].centre.z, -2.0);
    EXPECT_EQ(r[0].corner[1].y, 3.0);
    EXPECT_EQ(r[0].x_max, 1.0);
    EXPECT_EQ(r[0].y_max, 3.0);
    EXPECT_EQ(r[1].index, 1);
}

TEST(DepthOrder, EqualHeightsGoByFacetIndex)
{
    const proj_facet a = record(5, 1, {}, {}, {}, 0, 0), b = record(2, 1, {}, {}, {}, 0, 0),
                     c = record(9, 0.5, {}, {}, {}, 0, 0);
    EXPECT_TRUE(cmp_depth(b, a));
    EXPECT_FALSE(cmp_depth(a, b));
    EXPECT_FALSE(cmp_depth(a, a));
    EXPECT_TRUE(cmp_depth(c, b));
    EXPECT_FALSE(cmp_depth(b, c));
}

TEST(Occlusion, NearerFacetCoversACentreStrictlyInside)
{
    EXPECT_EQ(under_unit_triangle(0.2, 0.2), 0);
    EXPECT_EQ(under_unit_triangle(0.2, 0.2, true), 0);
    EXPECT_EQ(under_unit_triangle(0.7, 0.7), 200);
}

TEST(Occlusion, CentreOnAnEdgeOrTheBoundingBoxIsNotCovered)
{
    EXPECT_EQ(under_unit_triangle(0.5, 0.5), 200);  // on the hypotenuse
    EXPECT_EQ(under_unit_triangle(0.0, 0.3), 200);  // on the edge x = 0, the box's side
    EXPECT_EQ(under_unit_triangle(0.3, 0.0), 200);
}

TEST(Occlusion, DarkFacetStillCoversButIsNeitherTestedNorCounted)
{
    EXPECT_EQ(under_unit_triangle(0.2, 0.2, false, 0), 0);
    const std::vector<proj_facet> r{record(0, 0, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 0.2, 0.2),
                                    record(1, 1, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, 0.3, 0.3)};
    uint8_t bytes[2] = {200, 0};
    EXPECT_EQ(comp_occlusion(2, r.data(), bytes), 0);
}

TEST(Occlusion, OnlyNearerRecordsCover)
{
    // Each centre lies inside the other triangle; only the lower one goes.
    const std::vector<proj_facet> r{record(0, 0, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 1.0 / 3, 1.0 / 3),
                                    record(1, 1, {0.1, 0.1, 1}, {1.1, 0.1, 1}, {0.1, 1.1, 1}, 0.4, 0.4)};
    uint8_t bytes[2] = {100, 100};
    EXPECT_EQ(comp_occlusion(2, r.data(), bytes), 1);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 100);
}

TEST(Occlusion, EmptyListCountsNothing)
{
    uint8_t byte = 7;
    EXPECT_EQ(comp_occlusion(0, nullptr, &byte), 0);
    EXPECT_EQ(byte, 7);
}

TEST(Occlusion, FailedScratchShowsABoxAndClearsNothing)
{
    const int n = 100;
    std::vector<proj_facet> r(n, record(0, 0, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 0.2, 0.2));
    for (int i = 0; i < n; ++i) r[i].index = i;
    std::vector<uint8_t> bytes(n, 9);
    recording_front_end ui;
    int result;
    {
        failing_allocations fail(n * 2 * sizeof(double), n * 20 * sizeof(double));
        result = comp_occlusion(n, r.data(), bytes.data(), &ui);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 9), n);
    ASSERT_EQ(ui.boxes().size(), 1u);
    EXPECT_EQ(ui.boxes()[0].text, "Virtual memory not allocated");
    EXPECT_EQ(ui.boxes()[0].icon, box_icon::error);
    // With its scratch, every record but the last is covered.
    EXPECT_EQ(comp_occlusion(n, r.data(), bytes.data()), 1);
}

TEST(Visibility, FacetFacingSunAndEarthSquarely)
{
    flat_facet s;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(comp_visibility(bytes, s.records, s.v.data(), s.f.data(), s.centre.data(), s.normal.data(), 1, identity,
                              identity, identity, {0, 0, 2}, {0, 0, 5}),
              1);
    ASSERT_EQ(bytes.size(), 1u);
    EXPECT_EQ(bytes[0], 152);
}

TEST(Visibility, ZeroVectorsLightOrShowNothing)
{
    flat_facet s;
    std::vector<uint8_t> bytes;
    // No sun: the facet still faces the earth and is counted, but is dark.
    EXPECT_EQ(comp_visibility(bytes, s.records, s.v.data(), s.f.data(), s.centre.data(), s.normal.data(), 1, identity,
                              identity, identity, {0, 0, 1}, {0, 0, 0}),
              1);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(comp_visibility(bytes, s.records, s.v.data(), s.f.data(), s.centre.data(), s.normal.data(), 1, identity,
                              identity, identity, {0, 0, 0}, {0, 0, 1}),
              0);
    EXPECT_EQ(bytes[0], 0);
}

TEST(Visibility, FailedArraysAreToldByAnEmptyHandle)
{
    flat_facet s;
    std::vector<uint8_t> bytes{77};
    const auto run = [&] {
        return comp_visibility(bytes, s.records, s.v.data(), s.f.data(), s.centre.data(), s.normal.data(), 1, identity,
                               identity, identity, {0, 0, 1}, {0, 0, 1});
    };
    {
        failing_allocations fail(sizeof(proj_facet), sizeof(proj_facet));
        EXPECT_EQ(run(), 0);
    }
    EXPECT_TRUE(s.records.empty());
    EXPECT_EQ(bytes, std::vector<uint8_t>{77});  // stale, as it was
    {
        failing_allocations fail(1, 1);
        EXPECT_EQ(run(), 0);
    }
    EXPECT_EQ(s.records.size(), 1u);
    EXPECT_TRUE(bytes.empty());
}
