#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "photometry/facet_geometry.hpp"
#include "photometry/view_geometry.hpp"
#include "support/body_views.hpp"
#include "support/failing_allocations.hpp"
#include "support/recording_front_end.hpp"

namespace {

constexpr double half_pi = 1.5707963267948966;

void expect_vec_near(const vec3& p, const vec3& q, double tol = 0)
{
    EXPECT_NEAR(p.x, q.x, tol);
    EXPECT_NEAR(p.y, q.y, tol);
    EXPECT_NEAR(p.z, q.z, tol);
}

void expect_rows_near(const mat3& M, const mat3& rows, double tol = 1e-15)
{
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(M.m[i], rows.m[i], tol) << "element " << i;
}

bool same_bits(const mat3& a, const mat3& b)
{
    return std::memcmp(a.m, b.m, sizeof a.m) == 0;
}

vec3 normal_of(const facet_normal& n)
{
    return {n.nx, n.ny, n.nz};
}

}  // namespace

TEST(FacetNormals, CornerOrderFixesTheSenseAndLenIsTwiceTheArea)
{
    // Vertex 1 is a decoy: indices are 1-based. Facet 3 has no area.
    const std::vector<vec3> v{{9, 9, 9}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}};
    const std::vector<facet> f{{2, 3, 4}, {2, 4, 3}, {2, 3, 5}};
    std::vector<facet_normal> n;
    ASSERT_EQ(comp_normal(3, v.data(), f.data(), n), 1);
    ASSERT_EQ(n.size(), 3u);
    expect_vec_near(normal_of(n[0]), {0, 0, 1});
    expect_vec_near(normal_of(n[1]), {0, 0, -1});
    expect_vec_near(normal_of(n[2]), {0, 0, 0});
    EXPECT_EQ(n[0].len, 1.0);
    EXPECT_EQ(n[1].len, 1.0);
    EXPECT_EQ(n[2].len, 0.0);
}

TEST(FacetNormals, DoublingTheShapeKeepsNormalsAndQuadruplesLen)
{
    std::vector<vec3> v{{0.3, -1.7, 2.2}, {1.9, 0.4, -0.6}, {-0.8, 2.5, 1.1}};
    const std::vector<facet> f{{1, 2, 3}};
    std::vector<facet_normal> a, b;
    ASSERT_EQ(comp_normal(1, v.data(), f.data(), a), 1);
    for (vec3& p : v) p = {2 * p.x, 2 * p.y, 2 * p.z};
    ASSERT_EQ(comp_normal(1, v.data(), f.data(), b), 1);
    expect_vec_near(normal_of(b[0]), normal_of(a[0]));
    EXPECT_EQ(b[0].len, 4 * a[0].len);
    EXPECT_NEAR(a[0].nx * a[0].nx + a[0].ny * a[0].ny + a[0].nz * a[0].nz, 1.0, 1e-15);
}

TEST(FacetCentres, MeanOfTheThreeCorners)
{
    const std::vector<vec3> v{{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {1, 2, 3}};
    const std::vector<facet> f{{1, 2, 3}, {4, 2, 1}};
    std::vector<vec3> c;
    ASSERT_EQ(comp_facet_center(2, v.data(), f.data(), c), 1);
    expect_vec_near(c[0], {1, 1, 0});
    expect_vec_near(c[1], {4.0 / 3, 2.0 / 3, 1});
}

TEST(FacetGeometry, SecondCallReplacesTheArray)
{
    const std::vector<vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<facet> three(3, facet{1, 2, 3}), one{{1, 3, 2}};
    std::vector<facet_normal> n;
    std::vector<vec3> c;
    ASSERT_EQ(comp_normal(3, v.data(), three.data(), n), 1);
    ASSERT_EQ(comp_facet_center(3, v.data(), three.data(), c), 1);
    ASSERT_EQ(comp_normal(1, v.data(), one.data(), n), 1);
    ASSERT_EQ(comp_facet_center(1, v.data(), one.data(), c), 1);
    ASSERT_EQ(n.size(), 1u);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(n[0].nz, -1.0);
}

TEST(FacetGeometry, FailedAllocationLeavesTheHandleEmpty)
{
    const int32_t count = 1000;
    const std::vector<vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<facet> f(count, facet{1, 2, 3});
    std::vector<facet_normal> n(5);
    std::vector<vec3> c(5);
    recording_front_end ui;
    int normal_result, centre_result;
    {
        failing_allocations fail(count * sizeof(vec3), count * sizeof(facet_normal));
        normal_result = comp_normal(count, v.data(), f.data(), n, &ui);
        centre_result = comp_facet_center(count, v.data(), f.data(), c);
    }
    EXPECT_EQ(normal_result, 0);
    EXPECT_EQ(centre_result, 0);
    EXPECT_TRUE(n.empty());
    EXPECT_TRUE(c.empty());
    const std::vector<status_call> boxes = ui.boxes();  // comp_normal's only
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Virtual memory not allocated");
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].icon, box_icon::error);
}

TEST(ViewMatrices, BodyRotationOfSpecialPoles)
{
    const vec3 any{1, 2, 3};
    expect_rows_near(view_of(any, any, 0, half_pi, 0).body_rot, {{1, 0, 0, 0, 1, 0, 0, 0, 1}});
    // A quarter turn about the pole: ecliptic x lies along body -y.
    expect_rows_near(view_of(any, any, 0, half_pi, half_pi).body_rot, {{0, 1, 0, -1, 0, 0, 0, 0, 1}});
    const mat3 R = view_of(any, any, 0, 0, 0).body_rot;
    expect_rows_near(R, {{0, 0, -1, 0, 1, 0, 1, 0, 0}});
    expect_vec_near(apply(R, {1, 0, 0}), {0, 0, 1}, 1e-15);
}

TEST(ViewMatrices, DirectionFramesOfAxisVectors)
{
    const view v = view_of({2, 0, 0}, {0, 0, 3}, 0, half_pi, 0);
    expect_rows_near(v.earth_frame, {{0, 1, 0, 0, 0, 1, 1, 0, 0}});
    expect_vec_near(apply(v.earth_frame, {5, 0, 0}), {0, 0, 5}, 1e-14);
    // x = y = 0: longitude 0, latitude +-pi/2; east is +y, toward is +-z.
    expect_rows_near(v.sun_frame, {{0, 1, 0, -1, 0, 0, 0, 0, 1}});
    expect_rows_near(view_of({2, 0, 0}, {0, 0, -3}, 0, half_pi, 0).sun_frame, {{0, 1, 0, 1, 0, 0, 0, 0, -1}});
}

TEST(ViewMatrices, FramesCarryTheirDirectionOntoTheThirdAxis)
{
    const vec3 earth{0.3, -0.8, 0.4}, sun{-0.9, 0.2, -0.1};
    const view v = view_of(earth, sun, 1.1, -0.4, 2.7);
    expect_vec_near(apply(v.earth_frame, body_direction(v.body_rot, earth)), {0, 0, 1}, 1e-15);
    expect_vec_near(apply(v.sun_frame, body_direction(v.body_rot, sun)), {0, 0, 1}, 1e-15);
}

TEST(ViewMatrices, OnlyTheDirectionsMatter)
{
    const vec3 earth{0.3, -0.8, 0.4}, sun{-0.9, 0.2, -0.1};
    const view base = view_of(earth, sun, 0.5, 0.7, 4.0);
    const auto scaled = [](vec3 p, double k) { return vec3{p.x * k, p.y * k, p.z * k}; };
    // Powers of two scale exactly, so not even a bit changes.
    const view exact = view_of(scaled(earth, 2), scaled(sun, 0.5), 0.5, 0.7, 4.0);
    EXPECT_TRUE(same_bits(base.body_rot, exact.body_rot));
    EXPECT_TRUE(same_bits(base.earth_frame, exact.earth_frame));
    EXPECT_TRUE(same_bits(base.sun_frame, exact.sun_frame));
    // Other factors, down to ones whose squares would underflow or overflow.
    for (double k : {3.7, 1e-200, 1e200}) {
        const view v = view_of(scaled(earth, k), scaled(sun, k), 0.5, 0.7, 4.0);
        expect_rows_near(v.earth_frame, base.earth_frame);
        expect_rows_near(v.sun_frame, base.sun_frame);
        expect_vec_near(body_direction(base.body_rot, scaled(sun, k)), body_direction(base.body_rot, sun), 1e-15);
    }
}

TEST(ViewMatrices, ZeroOrBrokenVectorHasNoDirection)
{
    const view v = view_of({0, 0, 0}, {NAN, 1, 0}, 0.5, 0.7, 4.0);
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(std::isfinite(v.earth_frame.m[i]) && std::isfinite(v.sun_frame.m[i]));
    for (const vec3& p : {vec3{0, 0, 0}, vec3{NAN, 1, 0}, vec3{INFINITY, 0, 0}})
        expect_vec_near(body_direction(v.body_rot, p), {0, 0, 0});
}

TEST(ViewAngles, PhaseAngleAndSubEarthLatitudeOfKnownGeometries)
{
    const double s = std::sqrt(0.5);
    // The phase angle: the angle between the vectors toward the sun and the
    // earth, whatever their lengths.
    EXPECT_NEAR(phase_angle_deg({1, 0, 0}, {2, 0, 0}), 0.0, 1e-12);
    EXPECT_NEAR(phase_angle_deg({1, 0, 0}, {0, 3, 0}), 90.0, 1e-12);
    EXPECT_NEAR(phase_angle_deg({1, 0, 0}, {5 * s, 5 * s, 0}), 45.0, 1e-12);
    // The sub-earth latitude: 90 with the earth on the north pole, -90 on
    // the south one, 0 in the equator's plane, 45 half-way.
    const struct {
        vec3 earth;
        double lambda, beta, latitude;
    } cases[] = {
        {{0, 0, 1}, 30.0, 90.0, 90.0},  {{0, 0, -2}, 30.0, 90.0, -90.0}, {{1, 0, 0}, 30.0, 90.0, 0.0},
        {{1, 0, 0}, 0.0, 0.0, 90.0},    {{-1, 0, 0}, 0.0, 0.0, -90.0},   {{0, 1, 0}, 0.0, 0.0, 0.0},
        {{0, 1, 0}, 90.0, 0.0, 90.0},   {{s, 0, s}, 0.0, 90.0, 45.0},    {{s, 0, s}, 180.0, 0.0, -45.0},
        {{0, -4, 0}, 270.0, 0.0, 90.0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(sub_earth_latitude_deg(c.earth, c.lambda, c.beta), c.latitude, 1e-9)
            << c.earth.x << " " << c.earth.y << " " << c.earth.z << " pole " << c.lambda << ", " << c.beta;
}
