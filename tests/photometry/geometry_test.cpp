#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "failing_allocations.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/view_geometry.hpp"
#include "support/recording_front_end.hpp"

namespace {

constexpr double half_pi = 1.5707963267948966;

void expect_rows_near(const mat3& M, const std::vector<double>& rows, double tol = 1e-15)
{
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(M.m[i], rows[i], tol) << "element " << i;
}

bool same_bits(const mat3& a, const mat3& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }

struct view {
    mat3 body_rot, earth_frame, sun_frame;
};

view view_of(vec3 earth, vec3 sun, double lambda, double beta, double phi)
{
    view v;
    comp_view_matrices(v.body_rot, v.earth_frame, v.sun_frame, earth, sun, lambda, beta, phi);
    return v;
}

}  // namespace

TEST(FacetNormals, CornerOrderFixesTheSenseAndLenIsTwiceTheArea)
{
    // Vertex 1 is a decoy: indices are 1-based.
    const std::vector<vec3> v{{9, 9, 9}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<facet> f{{2, 3, 4}, {2, 4, 3}};
    std::vector<facet_normal> n;
    ASSERT_EQ(comp_normal(2, v.data(), f.data(), n), 1);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].nx, 0.0);
    EXPECT_EQ(n[0].ny, 0.0);
    EXPECT_EQ(n[0].nz, 1.0);
    EXPECT_EQ(n[0].len, 1.0);
    EXPECT_EQ(n[1].nz, -1.0);
    EXPECT_EQ(n[1].len, 1.0);
}

TEST(FacetNormals, DoublingTheShapeKeepsNormalsAndQuadruplesLen)
{
    std::vector<vec3> v{{0.3, -1.7, 2.2}, {1.9, 0.4, -0.6}, {-0.8, 2.5, 1.1}};
    const std::vector<facet> f{{1, 2, 3}};
    std::vector<facet_normal> a, b;
    ASSERT_EQ(comp_normal(1, v.data(), f.data(), a), 1);
    for (vec3& p : v) p = {2 * p.x, 2 * p.y, 2 * p.z};
    ASSERT_EQ(comp_normal(1, v.data(), f.data(), b), 1);
    EXPECT_EQ(b[0].nx, a[0].nx);
    EXPECT_EQ(b[0].ny, a[0].ny);
    EXPECT_EQ(b[0].nz, a[0].nz);
    EXPECT_EQ(b[0].len, 4 * a[0].len);
    EXPECT_NEAR(a[0].nx * a[0].nx + a[0].ny * a[0].ny + a[0].nz * a[0].nz, 1.0, 1e-15);
}

TEST(FacetNormals, ZeroAreaFacetGetsZeroNormal)
{
    const std::vector<vec3> v{{1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
    const std::vector<facet> f{{1, 2, 3}, {1, 1, 2}};
    std::vector<facet_normal> n;
    ASSERT_EQ(comp_normal(2, v.data(), f.data(), n), 1);
    for (const facet_normal& r : n) {
        EXPECT_EQ(r.nx, 0.0);
        EXPECT_EQ(r.ny, 0.0);
        EXPECT_EQ(r.nz, 0.0);
        EXPECT_EQ(r.len, 0.0);
    }
}

TEST(FacetCentres, MeanOfTheThreeCorners)
{
    const std::vector<vec3> v{{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {1, 2, 3}};
    const std::vector<facet> f{{1, 2, 3}, {4, 2, 1}};
    std::vector<vec3> c;
    ASSERT_EQ(comp_facet_center(2, v.data(), f.data(), c), 1);
    EXPECT_EQ(c[0].x, 1.0);
    EXPECT_EQ(c[0].y, 1.0);
    EXPECT_EQ(c[0].z, 0.0);
    EXPECT_EQ(c[1].x, 4.0 / 3.0);
    EXPECT_EQ(c[1].z, 1.0);
}

TEST(FacetGeometry, SecondCallReplacesTheArray)
{
    const std::vector<vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<facet> three{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}};
    const std::vector<facet> one{{1, 3, 2}};
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
        // Both arrays: 32 and 24 bytes a facet.
        failing_allocations fail(count * sizeof(vec3), count * sizeof(facet_normal));
        normal_result = comp_normal(count, v.data(), f.data(), n, &ui);
        ASSERT_EQ(ui.boxes().size(), 1u);
        centre_result = comp_facet_center(count, v.data(), f.data(), c);
    }
    EXPECT_EQ(normal_result, 0);
    EXPECT_EQ(centre_result, 0);
    EXPECT_TRUE(n.empty());
    EXPECT_TRUE(c.empty());
    const std::vector<status_call> boxes = ui.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Virtual memory not allocated");
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].icon, box_icon::error);
}

TEST(ViewMatrices, BodyRotationOfSpecialPoles)
{
    const vec3 any{1, 2, 3};
    expect_rows_near(view_of(any, any, 0, half_pi, 0).body_rot, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    // A quarter turn about the pole: ecliptic x lies along body -y.
    expect_rows_near(view_of(any, any, 0, half_pi, half_pi).body_rot, {0, 1, 0, -1, 0, 0, 0, 0, 1});
    const mat3 R = view_of(any, any, 0, 0, 0).body_rot;
    expect_rows_near(R, {0, 0, -1, 0, 1, 0, 1, 0, 0});
    const vec3 pole = apply(R, {1, 0, 0});
    EXPECT_NEAR(pole.z, 1.0, 1e-15);
}

TEST(ViewMatrices, EarthAlongXGivesTheDirectionFrame)
{
    const view v = view_of({2, 0, 0}, {0, 0, 1}, 0, half_pi, 0);
    expect_rows_near(v.earth_frame, {0, 1, 0, 0, 0, 1, 1, 0, 0});
    const vec3 p = apply(v.earth_frame, {5, 0, 0});
    EXPECT_NEAR(p.x, 0.0, 1e-14);
    EXPECT_NEAR(p.y, 0.0, 1e-14);
    EXPECT_NEAR(p.z, 5.0, 1e-14);
}

TEST(ViewMatrices, PolarDirectionTakesLongitudeZero)
{
    // The sun frame with x = y = 0: east is +y, toward is +-z.
    expect_rows_near(view_of({1, 0, 0}, {0, 0, 3}, 0, half_pi, 0).sun_frame, {0, 1, 0, -1, 0, 0, 0, 0, 1});
    expect_rows_near(view_of({1, 0, 0}, {0, 0, -3}, 0, half_pi, 0).sun_frame, {0, 1, 0, 1, 0, 0, 0, 0, -1});
}

TEST(ViewMatrices, FramesCarryTheirDirectionOntoTheThirdAxis)
{
    const vec3 earth{0.3, -0.8, 0.4}, sun{-0.9, 0.2, -0.1};
    const view v = view_of(earth, sun, 1.1, -0.4, 2.7);
    for (const auto& [frame, dir] : {std::pair{v.earth_frame, earth}, std::pair{v.sun_frame, sun}}) {
        const vec3 toward = apply(frame, body_direction(v.body_rot, dir));
        EXPECT_NEAR(toward.x, 0.0, 1e-15);
        EXPECT_NEAR(toward.y, 0.0, 1e-15);
        EXPECT_NEAR(toward.z, 1.0, 1e-15);
    }
    // The body rotation is E(lambda + h, h - beta, phi - h) = Z . X . Z.
    const double a = 1.1 + half_pi, b = half_pi - -0.4, c = 2.7 - half_pi;
    const auto Z = [](double t) { return mat3{{std::cos(t), std::sin(t), 0, -std::sin(t), std::cos(t), 0, 0, 0, 1}}; };
    const auto X = [](double t) { return mat3{{1, 0, 0, 0, std::cos(t), std::sin(t), 0, -std::sin(t), std::cos(t)}}; };
    const auto mul = [](const mat3& p, const mat3& q) {
        mat3 r{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) r.m[3 * i + j] += p.m[3 * i + k] * q.m[3 * k + j];
        return r;
    };
    const mat3 product = mul(mul(Z(c), X(b)), Z(a));
    expect_rows_near(v.body_rot, std::vector<double>(product.m, product.m + 9));
}

TEST(ViewMatrices, OnlyTheDirectionsMatter)
{
    const vec3 earth{0.3, -0.8, 0.4}, sun{-0.9, 0.2, -0.1};
    const view base = view_of(earth, sun, 0.5, 0.7, 4.0);
    const auto scaled = [](vec3 p, double k) { return vec3{p.x * k, p.y * k, p.z * k}; };
    // A power of two scales exactly, so the bits stay the same.
    const view twice = view_of(scaled(earth, 2), scaled(sun, 0.5), 0.5, 0.7, 4.0);
    EXPECT_TRUE(same_bits(base.body_rot, twice.body_rot));
    EXPECT_TRUE(same_bits(base.earth_frame, twice.earth_frame));
    EXPECT_TRUE(same_bits(base.sun_frame, twice.sun_frame));
    for (double k : {3.7, 1e-200, 1e200}) {
        const view v = view_of(scaled(earth, k), scaled(sun, k), 0.5, 0.7, 4.0);
        expect_rows_near(v.earth_frame, std::vector<double>(base.earth_frame.m, base.earth_frame.m + 9));
        expect_rows_near(v.sun_frame, std::vector<double>(base.sun_frame.m, base.sun_frame.m + 9));
        const vec3 d = body_direction(base.body_rot, scaled(sun, k));
        const vec3 d0 = body_direction(base.body_rot, sun);
        EXPECT_NEAR(d.x, d0.x, 1e-15);
        EXPECT_NEAR(d.y, d0.y, 1e-15);
        EXPECT_NEAR(d.z, d0.z, 1e-15);
    }
}

TEST(ViewMatrices, ZeroOrBrokenVectorHasNoDirection)
{
    const view v = view_of({0, 0, 0}, {NAN, 1, 0}, 0.5, 0.7, 4.0);
    for (double x : v.earth_frame.m) EXPECT_TRUE(std::isfinite(x));
    for (double x : v.sun_frame.m) EXPECT_TRUE(std::isfinite(x));
    for (const vec3& p : {vec3{0, 0, 0}, vec3{NAN, 1, 0}, vec3{INFINITY, 0, 0}}) {
        const vec3 d = body_direction(v.body_rot, p);
        EXPECT_EQ(d.x, 0.0);
        EXPECT_EQ(d.y, 0.0);
        EXPECT_EQ(d.z, 0.0);
    }
}
