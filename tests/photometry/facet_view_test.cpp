#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "photometry/brightness.hpp"
#include "photometry/view_geometry.hpp"
#include "photometry/visibility.hpp"
#include "support/body_views.hpp"

namespace {

// Counts the facets with the given light, split by lobe.
struct light_counts {
    int first = 0;
    int second = 0;
};

light_counts count(const std::vector<viewed_facet>& view, facet_light light, int32_t lobe_facets)
{
    light_counts c;
    for (const viewed_facet& f : view)
        if (f.light == light) ++(f.index < lobe_facets ? c.first : c.second);
    return c;
}

TEST(FacetView, SphereAtZeroPhaseIsLitWhereverItIsSeen)
{
    const viewable_body sphere = unit_sphere(3);
    const auto view = view_body(sphere, {0.3, 0.5, 0.8}, {0.3, 0.5, 0.8});
    const double disc = std::numbers::pi;
    // Only the rim, where the sun's cosine rounds to a zero byte, is not lit.
    EXPECT_GT(seen_area(view, facet_light::lit), 0.98 * disc);
    EXPECT_EQ(seen_area(view, facet_light::shadowed), 0.0);
    // The covering test may catch an edge-on facet at the rim, nothing more.
    EXPECT_LT(seen_area(view, facet_light::hidden), 1e-4 * disc);
    // Farthest first, so that drawing in order paints the near side last.
    for (std::size_t i = 1; i < view.size(); ++i) EXPECT_LE(view[i - 1].depth, view[i].depth);
}

TEST(FacetView, SphereAtQuadratureIsHalfNight)
{
    const viewable_body sphere = unit_sphere(3);
    const auto view = view_body(sphere, {0, 0, 1}, {1, 0, 0});
    const double lit = seen_area(view, facet_light::lit);
    const double night = seen_area(view, facet_light::night);
    EXPECT_NEAR(lit / (lit + night), 0.5, 0.03);
    EXPECT_EQ(seen_area(view, facet_light::shadowed), 0.0);
}

TEST(FacetView, LitFacetsAreExactlyThoseTheModelCounts)
{
    const viewable_body twins = touching_twins(2);
    const int32_t n = static_cast<int32_t>(twins.facets.size());
    const double lambda = 0.2, beta = -0.5, phi = 2.0;
    const vec3 earth{0.4, -1.0, 0.3}, sun{-1.0, -0.2, 0.1};
    mat3 body_rot, earth_frame, sun_frame;
    comp_view_matrices(body_rot, earth_frame, sun_frame, earth, sun, lambda, beta, phi);
    std::vector<uint8_t> bytes;
    std::vector<proj_facet> records;
    comp_visibility(bytes, records, twins.vertices.data(), twins.facets.data(), twins.centres.data(),
                    twins.normals.data(), n, body_rot, earth_frame, sun_frame, earth, sun);
    // The view takes the fast way; the straightforward step is the reference.
    const auto view =
        view_from_earth(twins.vertices.data(), twins.facets.data(), twins.centres.data(), twins.normals.data(), n,
                        twins.lobe_facets, body_rot, earth_frame, sun_frame, earth, sun);
    int lit = 0;
    for (const viewed_facet& f : view) {
        EXPECT_EQ(f.light == facet_light::lit, bytes[f.index] != 0) << "facet " << f.index;
        lit += f.light == facet_light::lit;
    }
    int model = 0;
    for (uint8_t b : bytes) model += b != 0;
    EXPECT_EQ(lit, model);
    EXPECT_GT(count(view, facet_light::hidden, twins.lobe_facets).first +
                  count(view, facet_light::hidden, twins.lobe_facets).second,
              0);
}

TEST(FacetView, TwinSideOnWithTheSunBehindOneLobeShadowsTheOther)
{
    // Seen side-on (from +y) with the sun far along -x: the lobe at x = -1
    // stands between the sun and the lobe at x = +1 (the first lobe).
    const viewable_body twins = touching_twins(3);
    const auto view = view_body(twins, {0, 1, 0}, {-1, 0, 0.05});
    const light_counts shadowed = count(view, facet_light::shadowed, twins.lobe_facets);
    EXPECT_GT(shadowed.first, 20);
    EXPECT_EQ(shadowed.second, 0);
    // The shadow falls on the half of the first lobe that faces the sun.
    for (const viewed_facet& f : view) {
        if (f.light == facet_light::shadowed) {
            EXPECT_LT(twins.centres[f.index].x, 1.0) << "facet " << f.index;
        }
    }
}

TEST(FacetView, AxisViewsShowTheOutlineFromEachSide)
{
    const viewable_body twins = touching_twins(2);
    const int32_t n = static_cast<int32_t>(twins.facets.size());
    const auto from_x = view_along_axis(twins.vertices.data(), twins.facets.data(), twins.normals.data(), n, 0);
    const auto from_z = view_along_axis(twins.vertices.data(), twins.facets.data(), twins.normals.data(), n, 2);
    // From +x the two lobes line up behind each other (a unit disc), from +z
    // they stand side by side (two discs).
    const double disc = std::numbers::pi;
    EXPECT_NEAR(seen_area(from_x, facet_light::lit), 2 * disc, 0.1 * disc);
    EXPECT_NEAR(seen_area(from_z, facet_light::lit), 2 * disc, 0.1 * disc);
    double x_lo = 0, x_hi = 0;
    for (const viewed_facet& f : from_z)
        for (double x : f.x) {
            x_lo = std::min(x_lo, x);
            x_hi = std::max(x_hi, x);
        }
    EXPECT_NEAR(x_lo, -2.0, 0.02);
    EXPECT_NEAR(x_hi, 2.0, 0.02);
    for (const viewed_facet& f : from_x) EXPECT_GT(f.radiance, 0.0);
}

}  // namespace
