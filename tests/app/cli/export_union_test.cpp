// The union of the lobes and the exports that use it: built only with
// MORVANE_UNION, so these run in the release pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "mesh/base_shape.hpp"
#include "mesh/lobe_union.hpp"
#include "mesh/surface_check.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "sweep/shape_export.hpp"

namespace {

// The cross product's direction of facet `t`, and its centre.
void facet_frame(const welded_mesh& m, const facet& t, vec3& normal, vec3& centre)
{
    const vec3 &a = m.vertices[static_cast<std::size_t>(t.a - 1)], &b = m.vertices[static_cast<std::size_t>(t.b - 1)],
               &c = m.vertices[static_cast<std::size_t>(t.c - 1)];
    const vec3 u{b.x - a.x, b.y - a.y, b.z - a.z}, v{c.x - a.x, c.y - a.y, c.z - a.z};
    normal = {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
    centre = {(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
}

// The facets whose normal points towards `inside`, which every facet of a
// convex lobe around it faces away from.
int count_facing(const welded_mesh& m, std::size_t begin, std::size_t end, vec3 inside)
{
    int facing = 0;
    for (std::size_t f = begin; f < end; ++f) {
        vec3 n, c;
        facet_frame(m, m.facets[f], n, c);
        facing += n.x * (c.x - inside.x) + n.y * (c.y - inside.y) + n.z * (c.z - inside.z) <= 0.0;
    }
    return facing;
}

// The mean of the vertices of facets [begin, end): a lobe's centre.
vec3 centre_of(const welded_mesh& m, std::size_t begin, std::size_t end)
{
    vec3 sum{0, 0, 0};
    double n = 0;
    for (std::size_t f = begin; f < end; ++f)
        for (int32_t v : {m.facets[f].a, m.facets[f].b, m.facets[f].c}) {
            const vec3& p = m.vertices[static_cast<std::size_t>(v - 1)];
            sum = {sum.x + p.x, sum.y + p.y, sum.z + p.z};
            ++n;
        }
    return {sum.x / n, sum.y / n, sum.z / n};
}

// The volume of facets [begin, end) of `m`: one lobe's.
double lobe_volume(const welded_mesh& m, std::size_t begin, std::size_t end)
{
    welded_mesh lobe{m.vertices,
                     {m.facets.begin() + static_cast<long>(begin), m.facets.begin() + static_cast<long>(end)}};
    return enclosed_volume(lobe);
}

// A DAMIT file read back: false when its counts line disagrees with the
// lines that follow or an index lies outside 1..V.
bool read_damit(const std::string& path, welded_mesh& m)
{
    std::ifstream in(path);
    std::size_t vertices = 0, facets = 0;
    std::string line;
    if (!std::getline(in, line) || std::sscanf(line.c_str(), "%zu %zu", &vertices, &facets) != 2) return false;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    if (lines.size() != vertices + facets) return false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::string rest;
        if (i < vertices) {
            vec3 p;
            if (!(fields >> p.x >> p.y >> p.z) || (fields >> rest)) return false;
            m.vertices.push_back(p);
        } else {
            facet t;
            if (!(fields >> t.a >> t.b >> t.c) || (fields >> rest)) return false;
            for (int32_t v : {t.a, t.b, t.c})
                if (v < 1 || static_cast<std::size_t>(v) > vertices) return false;
            m.facets.push_back(t);
        }
    }
    return true;
}

// The diameter of the sphere of volume `volume`.
double equivalent_diameter(double volume)
{
    return std::cbrt(6.0 * volume / std::numbers::pi);
}

}  // namespace

TEST(LobeUnion, TheGridsShapesUniteIntoOneOutwardSurface)
{
    const auto base = build_base_mesh(3);
    ASSERT_TRUE(base);
    // x_shift is the depth by which the lobes overlap along x.
    const struct {
        const char* name;
        double params[param::count];
    } cases[] = {
        {"overlapping much", {1, 0.95, 0.475, 1, 0.95, 0.925, 1.8}},
        {"barely touching", {1, 0.8, 0.6, 1, 0.7, 0.5, 0.02}},
        {"a small lobe inside, tangent at both x tips", {1, 0.8, 0.6, 1, 0.5, 0.3, 2.0}},
        {"identical lobes at x_shift 1 + x_scale_2: every facet coplanar", {1, 0.5, 0.25, 1, 0.5, 0.25, 2.0}},
        {"identical lobes, half overlapping", {1, 0.5, 0.25, 1, 0.5, 0.25, 1.0}},
    };
    for (const auto& c : cases) {
        export_mesh lobes, joined;
        std::string why;
        ASSERT_TRUE(build_export_mesh(*base, c.params, {}, lobes, why)) << c.name << ": " << why;
        shape_export_options how;
        how.lobe_union = true;
        ASSERT_TRUE(build_export_mesh(*base, c.params, how, joined, why)) << c.name << ": " << why;
        const surface_report r = check_surface(joined.surface);
        EXPECT_TRUE(r.closed && r.manifold && r.oriented) << c.name;
        EXPECT_EQ(r.euler, 2) << c.name;
        EXPECT_EQ(r.components, 1) << c.name;
        const std::size_t half = lobes.surface.facets.size() / 2, all = 2 * half;
        const double first = lobe_volume(lobes.surface, 0, half), second = lobe_volume(lobes.surface, half, all);
        EXPECT_GT(r.volume, std::max(first, second) * (1 - 1e-12)) << c.name;
        EXPECT_LT(r.volume, (first + second) * (1 + 1e-12)) << c.name;
        EXPECT_EQ(joined.union_volume, r.volume) << c.name;
        // Every facet of the union lies on one lobe's surface, and a convex
        // lobe's facets all face away from its centre: a facet facing both
        // centres is turned inward.
        const vec3 c1 = centre_of(lobes.surface, 0, half), c2 = centre_of(lobes.surface, half, all);
        int inward = 0;
        for (std::size_t f = 0; f < joined.surface.facets.size(); ++f)
            inward += count_facing(joined.surface, f, f + 1, c1) && count_facing(joined.surface, f, f + 1, c2);
        EXPECT_EQ(inward, 0) << c.name;
        std::printf("%s: V %zu, F %zu, Euler %lld, %d piece, union / larger lobe %.6f, union / both %.6f\n", c.name,
                    joined.surface.vertices.size(), joined.surface.facets.size(), static_cast<long long>(r.euler),
                    r.components, r.volume / std::max(first, second), r.volume / (first + second));
    }
}

TEST(LobeUnion, LobesThatMeetTipToTipAreRefused)
{
    // x_shift 0 with x_scale_2 1: the lobes share one point, no volume.
    const auto base = build_base_mesh(2);
    ASSERT_TRUE(base);
    const double params[param::count] = {1, 0.5, 0.25, 1, 0.5, 0.25, 0.0};
    for (double diameter : {0.0, 10.0}) {
        shape_export_options how;
        how.lobe_union = diameter == 0.0;
        how.diameter_km = diameter;
        export_mesh m;
        std::string why;
        EXPECT_FALSE(build_export_mesh(*base, params, how, m, why));
        EXPECT_NE(why.find("union of the lobes is refused"), std::string::npos) << why;
    }
    // A lobe that is not closed never reaches the corefinement.
    welded_mesh open{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}, {1, 3, 2}}}, out;
    std::string why;
    EXPECT_FALSE(unite_lobes(open, 1, out, why));
    EXPECT_TRUE(lobe_union_built());
}

TEST(ExportUnion, DamitFilesCountTheirLinesAndFaceOutward)
{
    scratch_dir dir;
    const std::string cli = MORVANE_CLI;
    std::string out;
    // Shape 11 of step 0.5: 1, 1 | 0.6, 0.3, 0.15 | 0.9.
    for (const char* kind : {"", " --union"}) {
        ASSERT_EQ(run_command(cli + " export --shape 11 --subdivisions 2 --step 0.5 --format damit" + kind, out), 0)
            << out;
        welded_mesh m;
        ASSERT_TRUE(read_damit("shape_00011.txt", m)) << kind;
        const surface_report r = check_surface(m);
        EXPECT_TRUE(r.closed && r.manifold && r.oriented) << kind;
        EXPECT_GT(r.volume, 0.0) << kind;
        if (*kind == '\0') {
            // The two shells, each facet away from its own lobe's centre.
            ASSERT_EQ(m.facets.size(), 2u * 320u);
            EXPECT_EQ(r.components, 2);
            EXPECT_EQ(count_facing(m, 0, 320, centre_of(m, 0, 320)), 0);
            EXPECT_EQ(count_facing(m, 320, 640, centre_of(m, 320, 640)), 0);
        } else {
            EXPECT_EQ(r.components, 1);
            EXPECT_EQ(r.euler, 2);
        }
    }
}

TEST(ExportUnion, TheDiameterScalesToTheUnionsVolumeEquivalentSphere)
{
    scratch_dir dir;
    const std::string cli = MORVANE_CLI;
    std::string out;
    const std::string shape = " export --shape 7 --subdivisions 3 --step 0.5";
    ASSERT_EQ(run_command(cli + shape + " --output model.obj", out), 0) << out;
    ASSERT_EQ(run_command(cli + shape + " --union --output union.obj", out), 0) << out;
    for (double d : {1.0, 123.5, 0.004}) {
        char option[64];
        std::snprintf(option, sizeof option, " --diameter-km %.17g", d);
        ASSERT_EQ(run_command(cli + shape + option + " --union --output u.obj --format obj", out), 0) << out;
        ASSERT_EQ(run_command(cli + shape + option + " --output two.obj", out), 0) << out;
        welded_mesh joined, two, model;
        auto read = [](const std::string& path, welded_mesh& m) {
            for (const auto& line : read_lines(path)) {
                vec3 v;
                facet f;
                if (std::sscanf(line.c_str(), "v %lf %lf %lf", &v.x, &v.y, &v.z) == 3) m.vertices.push_back(v);
                if (std::sscanf(line.c_str(), "f %d %d %d", &f.a, &f.b, &f.c) == 3) m.facets.push_back(f);
            }
        };
        read("u.obj", joined);
        read("two.obj", two);
        read("model.obj", model);
        EXPECT_NEAR(equivalent_diameter(enclosed_volume(joined)) / d, 1.0, 1e-9) << d;
        // The two shells scaled by the same factor as the union.
        ASSERT_EQ(two.vertices.size(), model.vertices.size());
        const double scale = d / equivalent_diameter(check_surface([&] {
                                                         welded_mesh u;
                                                         read("union.obj", u);
                                                         return u;
                                                     }())
                                                         .volume);
        double worst = 0.0;
        for (std::size_t i = 0; i < two.vertices.size(); ++i)
            worst = std::max(worst, std::fabs(two.vertices[i].x - scale * model.vertices[i].x) / scale);
        EXPECT_LT(worst, 1e-12) << d;
    }
    EXPECT_NE(read_lines("u.obj")[2].find("volume-equivalent diameter 0.0040000000000000001 km"), std::string::npos);
    // Lobes that only touch have no union: refused, nothing written.
    for (const char* option : {" --union", " --diameter-km 5"}) {
        EXPECT_EQ(run_command(cli + " export --shape 2 --subdivisions 2 --step 0.9 --output none.obj" + option, out), 2)
            << out;
        EXPECT_NE(out.find("the surface has 2 pieces, not one (lobes that do not meet)"), std::string::npos) << out;
        EXPECT_FALSE(std::ifstream("none.obj").good());
    }
}
