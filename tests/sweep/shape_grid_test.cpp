#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <vector>

#include "sweep/shape_grid.hpp"

namespace {

// Records the values the walk visits.
struct recorder {
    std::vector<double> level1, level2_first;  // level-2 values under the first level-1 value
    std::vector<double> level2_second;         // ... and under the second
    std::vector<std::array<double, 7>> shapes;
    bool enter(int level, const double* p)
    {
        if (level == 1) level1.push_back(p[1]);
        if (level == 2 && level1.size() == 1) level2_first.push_back(p[2]);
        if (level == 2 && level1.size() == 2) level2_second.push_back(p[2]);
        return true;
    }
    bool shape(const double* p)
    {
        std::array<double, 7> a;
        for (int i = 0; i < 7; ++i) a[static_cast<std::size_t>(i)] = p[i];
        shapes.push_back(a);
        return true;
    }
    bool leave(int) { return true; }
};

}  // namespace

TEST(ShapeGrid, SizesForListedSteps)
{
    struct row {
        double step;
        int64_t shapes, progress;
    };
    for (const row r : {row{1.0, 1, 1}, row{0.95, 1, 1}, row{0.9, 4, 1}, row{0.75, 4, 1}, row{0.6, 4, 1},
                        row{0.5, 12, 3}, row{0.3, 120, 3}, row{0.25, 280, 7}, row{0.2, 826, 7}, row{0.15, 4440, 12},
                        row{0.1, 44388, 27}, row{0.05, 1196349, 77}}) {
        const grid_count c = count_grid(r.step, INT64_MAX);
        EXPECT_EQ(c.shapes, r.shapes) << "step " << r.step;
        EXPECT_EQ(c.progress_steps, r.progress) << "step " << r.step;
        EXPECT_FALSE(c.too_large);
    }
}

TEST(ShapeGrid, CountStopsPastTheLimit)
{
    EXPECT_TRUE(count_grid(0.1, 44387).too_large);
    EXPECT_FALSE(count_grid(0.1, 44388).too_large);
    // A step too small to advance the outer levels still ends.
    EXPECT_TRUE(count_grid(1e-300, 100000).too_large);
}

// Shapes and level-2 values, counted by walking every shape.
grid_count walked_count(double step)
{
    struct counter {
        grid_count c;
        bool enter(int, const double*) { return true; }
        bool shape(const double*) { return ++c.shapes, true; }
        bool leave(int level) { return level == 2 ? ++c.progress_steps, true : true; }
    } walk;
    walk_grid(step, walk);
    return walk.c;
}

TEST(ShapeGrid, CountAgreesWithTheWalkForAnyStep)
{
    // Steps whose accumulated sums land just beside the ends, where only the
    // walk's own arithmetic gives the right count.
    for (double step : {0.07, 0.11, 0.13, 0.1 / 3, 0.17, 0.3, 1.0 / 3, 0.45, 0.55, 0.95, 1e9}) {
        const grid_count walked = walked_count(step);
        const grid_count counted = count_grid(step, INT32_MAX);
        EXPECT_FALSE(counted.too_large) << step;
        EXPECT_EQ(counted.shapes, walked.shapes) << step;
        EXPECT_EQ(counted.progress_steps, walked.progress_steps) << step;
        EXPECT_TRUE(count_grid(step, walked.shapes - 1).too_large) << step;
    }
}

namespace {

// CPU seconds this thread has used: unlike elapsed time, not inflated when
// other work loads the machine.
double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

TEST(ShapeGrid, TinyStepsAreRefusedAtOnce)
{
    // Steps from just beyond the limit down to ones that never advance: each
    // refused after a few milliseconds of CPU at most, where a walk to the
    // limit takes at least 2^31 dependent additions (over a second).
    for (double step : {0.01, 0.003, 1e-4, 5e-6, 4e-6, 1e-9, 1e-17, 5e-324}) {
        const double start = thread_cpu_seconds();
        const grid_count c = count_grid(step, INT32_MAX);
        const double used = thread_cpu_seconds() - start;
        EXPECT_TRUE(c.too_large) << step;
        EXPECT_LT(used, 0.25) << step;
    }
}

TEST(ShapeGrid, TwelveShapesOfHalfStepInOrder)
{
    recorder r;
    ASSERT_TRUE(walk_grid(0.5, r));
    ASSERT_EQ(r.shapes.size(), 12u);
    const double body1[3][2] = {{0.5, 0.25}, {1.0, 0.5}, {1.0, 1.0}};
    const double body2[4][4] = {
        {0.1, 0.05, 0.025, 0.9}, {0.6, 0.3, 0.15, 0.4}, {0.6, 0.3, 0.15, 0.9}, {0.6, 0.3, 0.15, 1.4}};
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 4; ++b) {
            const auto& s = r.shapes[static_cast<std::size_t>(4 * a + b)];
            EXPECT_EQ(s[0], 1.0);
            EXPECT_DOUBLE_EQ(s[1], body1[a][0]);
            EXPECT_DOUBLE_EQ(s[2], body1[a][1]);
            for (int i = 0; i < 4; ++i)
                EXPECT_DOUBLE_EQ(s[static_cast<std::size_t>(3 + i)], body2[b][i]) << a << b << i;
        }
}

TEST(ShapeGrid, FourShapesOfStepPointNine)
{
    recorder r;
    walk_grid(0.9, r);
    ASSERT_EQ(r.shapes.size(), 4u);
    const double body2[4][4] = {
        {0.1, 0.05, 0.025, 0.9}, {1.0, 0.5, 0.25, 0.0}, {1.0, 0.5, 0.25, 0.9}, {1.0, 0.5, 0.25, 1.8}};
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ(r.shapes[static_cast<std::size_t>(b)][1], 0.5);
        EXPECT_EQ(r.shapes[static_cast<std::size_t>(b)][2], 0.25);
        for (int i = 0; i < 4; ++i)
            EXPECT_DOUBLE_EQ(r.shapes[static_cast<std::size_t>(b)][static_cast<std::size_t>(3 + i)], body2[b][i]);
    }
    EXPECT_EQ(r.shapes[1][6], 0.0);  // 1.0 - 1.0: the bodies touch
}

TEST(ShapeGrid, AccumulatedValuesOfStepPointOne)
{
    recorder r;
    walk_grid(0.1, r);
    EXPECT_EQ(r.level1,
              (std::vector<double>{0.5, 0.6, 0.7, 0.7999999999999999, 0.8999999999999999, 0.9999999999999999}));
    EXPECT_EQ(r.level2_first, (std::vector<double>{0.25, 0.35, 0.44999999999999996}));
    EXPECT_EQ(r.level2_second, (std::vector<double>{0.3, 0.4, 0.5, 0.6}));
    EXPECT_EQ(r.shapes.size(), 44388u);
}
