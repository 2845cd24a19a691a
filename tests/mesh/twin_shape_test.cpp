#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "support/scratch_dir.hpp"

namespace {

mesh twin_of(int n)
{
    mesh sphere, twin;
    make_icosahedron(sphere);
    for (int i = 0; i < n; ++i) subdivide_mesh(sphere);
    EXPECT_EQ(make_twin_shape(sphere, twin), 1);
    return twin;
}

}  // namespace

TEST(TwinShape, CountsAndBodies)
{
    mesh sphere;
    make_icosahedron(sphere);
    subdivide_mesh(sphere);
    const mesh copy = sphere;
    mesh twin;
    ASSERT_EQ(make_twin_shape(sphere, twin), 1);
    EXPECT_TRUE(sphere.vertices.empty());
    EXPECT_EQ(twin.vertex_count, 240);
    EXPECT_EQ(twin.facet_count, 80);  // ONE sphere
    ASSERT_EQ(twin.facets.size(), 160u);
    for (std::size_t i = 0; i < 120; ++i) {
        EXPECT_EQ(twin.vertices[i].x, copy.vertices[i].x + 1.0);
        EXPECT_EQ(twin.vertices[120 + i].x, copy.vertices[i].x - 1.0);
        // y and z untouched, negative zeros included.
        EXPECT_EQ(std::signbit(twin.vertices[120 + i].y), std::signbit(copy.vertices[i].y));
        EXPECT_EQ(twin.vertices[i].z, copy.vertices[i].z);
    }
    for (std::size_t i = 0; i < 80; ++i) {
        EXPECT_EQ(twin.facets[i].a, copy.facets[i].a);
        EXPECT_EQ(twin.facets[80 + i].a, copy.facets[i].a + 120);
        EXPECT_EQ(twin.facets[80 + i].c, copy.facets[i].c + 120);
    }
}

TEST(TwinShape, ObjFileOfOneSubdivision)
{
    scratch_dir dir;
    std::string why;
    const mesh twin = twin_of(1);
    ASSERT_TRUE(write_obj(twin, 1, why));
    const auto lines = read_lines("basic_shape_1.obj");
    ASSERT_EQ(lines.size(), 400u);
    EXPECT_EQ(lines[0], "v 1.894427 0.000000 0.447214");
    EXPECT_EQ(lines[120], "v -0.105573 0.000000 0.447214");
    EXPECT_EQ(lines[239].substr(0, 2), "v ");
    EXPECT_EQ(lines[240], "f 1 4 6");
    EXPECT_EQ(lines[240 + 80], "f 121 124 126");
    EXPECT_EQ(lines[399].substr(0, 2), "f ");
    bool negative_zero_y = false;
    for (std::size_t i = 0; i < 240; ++i) {
        char x[32], y[32], z[32];
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "v %31s %31s %31s", x, y, z), 3);
        negative_zero_y = negative_zero_y || std::string(y) == "-0.000000";
    }
    EXPECT_TRUE(negative_zero_y);
}

TEST(TwinShape, ObjOverwrittenAndNamedByCount)
{
    scratch_dir dir;
    std::string why;
    write_file("basic_shape_1.obj", std::string(100000, 'x'));
    ASSERT_TRUE(write_obj(twin_of(1), 1, why));
    EXPECT_EQ(read_lines("basic_shape_1.obj").size(), 400u);
    ASSERT_TRUE(write_obj(twin_of(2), 2, why));
    EXPECT_EQ(read_lines("basic_shape_2.obj").size(), 960u + 640u);
    EXPECT_EQ(read_lines("basic_shape_1.obj").size(), 400u);
}

TEST(TwinShape, ObjInUnwritableDirectoryFails)
{
    scratch_dir dir;
    std::string why;
    std::filesystem::create_directory("basic_shape_1.obj");  // a directory in the file's place
    EXPECT_FALSE(write_obj(twin_of(1), 1, why));
    EXPECT_NE(why.find("basic_shape_1.obj"), std::string::npos) << why;
}
