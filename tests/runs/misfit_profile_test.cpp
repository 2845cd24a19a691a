#include <gtest/gtest.h>

#include <cmath>

#include "runs/misfit_profile.hpp"

namespace {

// A row with the given x_shift and y_scale_1 (other parameters fixed).
summary_row row(int shape, double y1, double shift, double misfit)
{
    summary_row r;
    r.shape = shape;
    r.params[0] = 1.0;
    r.params[1] = y1;
    r.params[6] = shift;
    r.misfit = misfit;
    return r;
}

TEST(MisfitProfile, LowestMisfitAtEachValueAndTheBestMarked)
{
    const std::vector<summary_row> rows = {row(1, 0.5, 0.9, 0.30), row(2, 0.5, 1.1, 0.10), row(3, 0.75, 0.9, 0.20),
                                           row(4, 0.75, 1.1, NAN), row(5, 1.0, 1.3, 0.10), row(6, 1.0, 0.9, 0.50)};
    const auto profiles = misfit_profiles(rows);
    ASSERT_EQ(profiles.size(), 6u);
    const misfit_profile& y1 = profiles[0];
    EXPECT_EQ(y1.param, 1);
    ASSERT_EQ(y1.points.size(), 3u);
    EXPECT_EQ(y1.points[0].value, 0.5);
    EXPECT_EQ(y1.points[0].misfit, 0.10);
    EXPECT_EQ(y1.points[1].misfit, 0.20);  // the NaN of shape 4 counts nowhere
    EXPECT_EQ(y1.points[2].shape, 5);
    // Equal lowest misfits (shapes 2 and 5) keep the lower shape number.
    EXPECT_EQ(y1.best, 0);
    const misfit_profile& shift = profiles[5];
    ASSERT_EQ(shift.points.size(), 3u);
    EXPECT_EQ(shift.points[0].value, 0.9);
    EXPECT_EQ(shift.points[0].misfit, 0.20);
    EXPECT_EQ(shift.points[shift.best].shape, 2);
}

TEST(MisfitProfile, NoFiniteMisfitLeavesNoBest)
{
    const auto profiles = misfit_profiles({row(1, 0.5, 0.9, NAN)});
    for (const misfit_profile& p : profiles) {
        EXPECT_TRUE(p.points.empty());
        EXPECT_EQ(p.best, -1);
    }
}

}  // namespace
