// The photometric model on whole bodies: geodesic spheres against the
// analytic disk integrals, and the twin-sphere shape's mutual shadowing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "photometry/brightness.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/view_geometry.hpp"
#include "photometry/visibility.hpp"
#include "support/body_views.hpp"

namespace {

constexpr double lambert = 0.1;  // photo_params' lambert_weight

struct body {
    std::vector<vec3> v;
    std::vector<facet> f;
    std::vector<facet_normal> n;
    std::vector<vec3> c;
    int32_t count() const { return static_cast<int32_t>(f.size()); }
};

body body_of(const mesh& m)
{
    body b{m.vertices, m.facets, {}, {}};
    EXPECT_EQ(comp_normal(b.count(), b.v.data(), b.f.data(), b.n), 1);
    EXPECT_EQ(comp_facet_center(b.count(), b.v.data(), b.f.data(), b.c), 1);
    return b;
}

mesh geosphere(int subdivisions)
{
    mesh m;
    EXPECT_EQ(make_icosahedron(m), 1);
    for (int i = 0; i < subdivisions; ++i) EXPECT_EQ(subdivide_mesh(m), 1);
    return m;
}

body twin_spheres(int subdivisions)
{
    mesh sphere = geosphere(subdivisions), twin;
    EXPECT_EQ(make_twin_shape(sphere, twin), 1);
    return body_of(twin);
}

// The bytes after the sun pass, with or without its covering test.
std::vector<uint8_t> sun_bytes(const body& b, const view& w, bool cover)
{
    std::vector<uint8_t> bytes(b.f.size(), 255);
    std::vector<proj_facet> r(b.f.size());
    const int n = project_facets(w.sun_frame, b.v.data(), b.f.data(), b.c.data(), r.data(), b.n.data(), b.count(),
                                 bytes.data(), body_direction(w.body_rot, w.sun));
    if (cover) comp_occlusion(n, r.data(), bytes.data());
    return bytes;
}

// The bytes after an earth pass without covering test.
std::vector<uint8_t> uncovered_earth_bytes(const body& b, const view& w, std::vector<uint8_t> bytes)
{
    std::vector<proj_facet> r(b.f.size());
    project_facets(w.earth_frame, b.v.data(), b.f.data(), b.c.data(), r.data(), b.n.data(), b.count(), bytes.data(),
                   body_direction(w.body_rot, w.earth));
    return bytes;
}

std::vector<uint8_t> visible_bytes(const body& b, const view& w, int* facing_earth = nullptr)
{
    std::vector<uint8_t> bytes;
    std::vector<proj_facet> r;
    const int n = comp_visibility(bytes, r, b.v.data(), b.f.data(), b.c.data(), b.n.data(), b.count(), w.body_rot,
                                  w.earth_frame, w.sun_frame, w.earth, w.sun);
    if (facing_earth) *facing_earth = n;
    return bytes;
}

double brightness(const body& b, const view& w, const std::vector<uint8_t>& bytes)
{
    double cos_phase, seen_area;
    return comp_brightness(b.n.data(), w.body_rot, b.count(), cos_phase, seen_area, bytes.data(), w.earth, w.sun,
                           photo_params{});
}

// Disk integrals over a unit sphere at phase angle a of mu mu0 / (mu + mu0)
// (Lommel-Seeliger) and of mu mu0 (Lambert), and the model's brightness.
double analytic_brightness(double a)
{
    const double ls = pi / 2 * (1 - std::sin(a / 2) * std::tan(a / 2) * std::log(1 / std::tan(a / 4)));
    const double lam = 2.0 / 3 * (std::sin(a) + (pi - a) * std::cos(a));
    return (ls + lambert * lam) / (4 * pi * (1 + lambert / 4));
}

double limit_at_zero_phase()
{
    return (pi / 2 + lambert * 2 * pi / 3) / (4 * pi * (1 + lambert / 4));
}

vec3 random_unit(std::mt19937_64& gen)
{
    std::normal_distribution<double> normal;
    const vec3 p{normal(gen), normal(gen), normal(gen)};
    const double len = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    return {p.x / len, p.y / len, p.z / len};
}

double dot(const facet_normal& n, const vec3& d)
{
    return n.nx * d.x + n.ny * d.y + n.nz * d.z;
}

}  // namespace

TEST(SpherePhotometry, ConvexSphereLosesNoFacetToShadowOrHiding)
{
    const body b = body_of(geosphere(3));
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> angle(-pi, pi);
    for (int trial = 0; trial < 8; ++trial) {
        const view w = view_of(random_unit(gen), random_unit(gen), angle(gen), angle(gen) / 2, angle(gen));
        int facing_earth = 0;
        const std::vector<uint8_t> bytes = visible_bytes(b, w, &facing_earth);
        EXPECT_EQ(bytes, uncovered_earth_bytes(b, w, sun_bytes(b, w, false))) << "trial " << trial;
        const vec3 e = body_direction(w.body_rot, w.earth);
        int expected = 0;
        for (const facet_normal& n : b.n) expected += dot(n, e) > 0;
        EXPECT_EQ(facing_earth, expected);
    }
}

TEST(SpherePhotometry, OppositionBrightnessConvergesToTheAnalyticValue)
{
    // Covering changes nothing on a sphere (above), so the big ones skip it.
    const vec3 d{0.3, -0.5, 0.8};
    const view w = view_of(d, d, 0.7, 0.3, 1.9);
    const double exact = limit_at_zero_phase();
    double previous_error = 1;
    for (int n = 3; n <= 6; ++n) {
        const body b = body_of(geosphere(n));
        const double error = std::fabs(brightness(b, w, uncovered_earth_bytes(b, w, sun_bytes(b, w, false))) - exact);
        EXPECT_LT(error, previous_error) << "n = " << n;
        previous_error = error;
    }
    EXPECT_LT(previous_error / exact, 2e-4);
    EXPECT_NEAR(exact, 0.13821, 1e-5);
}

TEST(SpherePhotometry, PhaseCurveFollowsTheAnalyticIntegral)
{
    const body b = body_of(geosphere(5));
    for (double degrees : {30.0, 60.0, 90.0, 120.0}) {
        const double a = degrees * pi / 180;
        const view w =
            view_of({0.6, 0.0, 0.8}, {0.6 * std::cos(a) - 0.8 * std::sin(a), 0, 0.8 * std::cos(a) + 0.6 * std::sin(a)},
                    0.4, 0.9, 2.2);
        const double model = brightness(b, w, uncovered_earth_bytes(b, w, sun_bytes(b, w, false)));
        EXPECT_NEAR(model / analytic_brightness(a), 1.0, 1e-3) << "phase " << degrees;
    }
}

TEST(TwinPhotometry, SunBehindOneSphereShadowsTheOther)
{
    // Sun nearly along +x, behind body 1 (x = +1) as seen from body 2.
    const body b = twin_spheres(3);
    const view w = view_of({0.1, 1, 0.05}, {1, 0.05, 0.02});
    const std::vector<uint8_t> lit = sun_bytes(b, w, false), shadowed = sun_bytes(b, w, true);
    const int32_t half = b.count() / 2;
    for (int32_t i = 0; i < half; ++i) EXPECT_EQ(shadowed[i], lit[i]) << "body 1 facet " << i;
    int in_shadow = 0;
    const std::vector<uint8_t> final_bytes = visible_bytes(b, w);
    for (int32_t i = half; i < b.count(); ++i) {
        const vec3& p = b.c[i];
        if (p.y * p.y + p.z * p.z > 0.6 || lit[i] < 50) continue;
        EXPECT_EQ(shadowed[i], 0) << "body 2 facet " << i;
        EXPECT_EQ(final_bytes[i], 0);
        ++in_shadow;
    }
    EXPECT_GT(in_shadow, 100);
}

TEST(TwinPhotometry, FarSphereIsHiddenEndOn)
{
    // Earth nearly along +x: body 2 lies behind body 1; the sun lights both.
    const body b = twin_spheres(3);
    const view w = view_of({1, 0.03, 0.02}, {0.2, 1, 0.3});
    const std::vector<uint8_t> lit = sun_bytes(b, w, true);
    const std::vector<uint8_t> seen = visible_bytes(b, w);
    const std::vector<uint8_t> unhidden = uncovered_earth_bytes(b, w, lit);
    const int32_t half = b.count() / 2;
    for (int32_t i = 0; i < half; ++i) EXPECT_EQ(seen[i], unhidden[i]) << "body 1 facet " << i;
    int hidden = 0;
    for (int32_t i = half; i < b.count(); ++i) {
        const vec3& p = b.c[i];
        if (p.y * p.y + p.z * p.z > 0.6 || unhidden[i] == 0) continue;
        EXPECT_EQ(seen[i], 0) << "body 2 facet " << i;
        ++hidden;
    }
    EXPECT_GT(hidden, 50);
    EXPECT_GT(brightness(b, w, seen), 0.0);
}
