#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mesh/base_shape.hpp"
#include "mesh/lobe_union.hpp"
#include "mesh/weld.hpp"
#include "photometry/facet_geometry.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_export.hpp"

namespace {

// An OBJ file's vertices and facets.
struct obj_file {
    std::vector<vec3> vertices;
    std::vector<facet> facets;
};

obj_file read_obj(const std::string& path)
{
    obj_file obj;
    for (const auto& line : read_lines(path)) {
        vec3 v;
        facet f;
        if (std::sscanf(line.c_str(), "v %lf %lf %lf", &v.x, &v.y, &v.z) == 3) obj.vertices.push_back(v);
        if (std::sscanf(line.c_str(), "f %d %d %d", &f.a, &f.b, &f.c) == 3) obj.facets.push_back(f);
    }
    return obj;
}

// Whether every edge of the facets is met once in each direction: a closed,
// consistently oriented surface (or several).
bool closed_and_oriented(const std::vector<facet>& facets)
{
    std::map<std::pair<int, int>, int> edges;
    for (const facet& f : facets)
        for (auto [a, b] : {std::pair{f.a, f.b}, std::pair{f.b, f.c}, std::pair{f.c, f.a}}) ++edges[{a, b}];
    for (const auto& [edge, count] : edges) {
        if (count != 1) return false;
        auto back = edges.find({edge.second, edge.first});
        if (back == edges.end() || back->second != 1) return false;
    }
    return true;
}

// The shape of `params` as the sweep evaluates it, unwelded.
prepared_shape evaluated(const mesh& base, const double* params)
{
    std::vector<vec3> deformed;
    deform_vertices(base.vertices, params, deformed);
    shape_job job{};
    job.vertex_count = base.vertex_count;
    job.vertices = deformed.data();
    std::copy(params, params + param::count, job.shape_params);
    job.facet_count = base.facet_count;
    job.facets = base.facets.data();
    prepared_shape shape;
    shape_outcome outcome;
    EXPECT_EQ(prepare_shape(job, shape, nullptr, outcome), 1);
    return shape;
}

}  // namespace

TEST(ShapeExport, WeldedLobesAreClosedAndFaceOutwardAsTheModelSees)
{
    scratch_dir dir;
    // Shape 7 of step 0.5 (lobes apart), and a step-0.9 shape whose lobes touch.
    const struct {
        double step;
        int shape;
    } cases[] = {{0.5, 7}, {0.9, 2}, {0.5, 1}};
    for (int n = 1; n <= 4; ++n) {
        const auto base = build_base_mesh(n);
        ASSERT_TRUE(base);
        for (const auto& c : cases) {
            double params[param::count];
            ASSERT_TRUE(shape_parameters(c.step, c.shape, params));
            std::string why;
            ASSERT_TRUE(write_shape_obj(*base, params, "shape.obj", why)) << why;
            const obj_file obj = read_obj("shape.obj");
            EXPECT_EQ(obj.vertices.size(), 2u * (10u * (1u << (2 * n)) + 2u)) << n;
            ASSERT_EQ(obj.facets.size(), 2u * static_cast<std::size_t>(base->facet_count));
            EXPECT_TRUE(closed_and_oriented(obj.facets)) << n;
            // Each facet's normal is the model's, up to the welding's rounding.
            const prepared_shape model = evaluated(*base, params);
            std::vector<facet_normal> normals;
            ASSERT_EQ(
                comp_normal(static_cast<int32_t>(obj.facets.size()), obj.vertices.data(), obj.facets.data(), normals),
                1);
            double worst = 0.0;
            for (std::size_t i = 0; i < normals.size(); ++i) {
                const facet_normal &a = normals[i], &b = model.normals[i];
                worst = std::max({worst, std::fabs(a.nx - b.nx), std::fabs(a.ny - b.ny), std::fabs(a.nz - b.nz)});
            }
            EXPECT_LT(worst, 1e-9) << "n = " << n << ", step " << c.step << " shape " << c.shape;
        }
    }
    double params[param::count];
    EXPECT_FALSE(shape_parameters(0.5, 13, params));  // the step-0.5 grid has 12 shapes
    EXPECT_TRUE(shape_parameters(0.5, 12, params));
    EXPECT_EQ(params[6], 1.4);
}

TEST(ShapeExport, TheCommandLineWritesTheBestShapeAndAnyShapeOfAFinishedRun)
{
    scratch_dir dir;
    std::string out;
    const std::string cli = MORVANE_CLI;
    ASSERT_EQ(run_command(cli + " --path " + data_file("test.zel") + " --subdivisions 2 --step 0.5", out), 0) << out;
    EXPECT_NE(out.find("shape 7 written to output/best.obj"), std::string::npos) << out;
    ASSERT_EQ(run_command(cli + " export --shape 7", out), 0) << out;  // step and n from the run's manifest
    std::vector<std::string> best = read_lines("output/best.obj"), exported = read_lines("shape_00007.obj");
    EXPECT_EQ(best, exported);
    EXPECT_EQ(read_obj("shape_00007.obj").vertices.size(), 2u * (10u * 16u + 2u));
    EXPECT_EQ(run_command(cli + " export --shape 13", out), 2) << out;
    EXPECT_NE(out.find("has no shape 13"), std::string::npos) << out;
}

TEST(ShapeExport, TheFormatAndTheDiameterAreCheckedBeforeAnyWork)
{
    scratch_dir dir;
    std::string out;
    const std::string cli = MORVANE_CLI;
    const std::string shape = " export --shape 7 --subdivisions 2 --step 0.5 --output s.obj";
    const struct {
        const char* options;
        const char* says;
    } refusals[] = {
        {" --format stl", "--format must be obj or damit, not 'stl'"},
        {" --format OBJ", "--format must be obj or damit, not 'OBJ'"},
        {" --diameter-km 0", "--diameter-km must be a positive number of km"},
        {" --diameter-km -3", "--diameter-km must be a positive number of km"},
        {" --diameter-km nan", "--diameter-km must be a positive number of km"},
        {" --diameter-km inf --union", "--diameter-km must be a positive number of km"},
    };
    for (const auto& r : refusals) {
        EXPECT_EQ(run_command(cli + shape + r.options, out), 2) << r.options << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.options << ": " << out;
        EXPECT_FALSE(std::filesystem::exists("s.obj")) << r.options;
    }
    // The default stays the two shells' OBJ; --format obj is the same file,
    // and damit's default name ends in .txt.
    ASSERT_EQ(run_command(cli + shape, out), 0) << out;
    ASSERT_EQ(run_command(cli + " export --shape 7 --subdivisions 2 --step 0.5 --format obj", out), 0) << out;
    EXPECT_EQ(read_lines("s.obj"), read_lines("shape_00007.obj"));
    ASSERT_EQ(run_command(cli + " export --shape 7 --subdivisions 2 --step 0.5 --format damit", out), 0) << out;
    const std::vector<std::string> damit = read_lines("shape_00007.txt");
    ASSERT_FALSE(damit.empty());
    EXPECT_EQ(damit.front(), "324 640");
    EXPECT_EQ(damit.size(), 1u + 324u + 640u);
    // A build without the union refuses what needs it, and says why.
    for (const char* needs : {" --union", " --diameter-km 10"}) {
        const int code = run_command(cli + shape + needs, out);
        if (lobe_union_built()) {
            EXPECT_EQ(code, 0) << needs << ": " << out;
        } else {
            EXPECT_EQ(code, 2) << needs << ": " << out;
            EXPECT_NE(out.find("which this build lacks (built with MORVANE_UNION=OFF)"), std::string::npos) << out;
        }
    }
}
