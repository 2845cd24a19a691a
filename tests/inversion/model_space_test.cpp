#include <gtest/gtest.h>

#include <random>

#include "inversion/model_space.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

TEST(ModelSpace, EveryPointOfTheBoxIsAValidModelAndMapsBack)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (bool spin : {false, true}) {
        const model_space space = make_model_space(test_start(), spin);
        ASSERT_EQ(free_count(space), spin ? 10 : 7);
        for (int k = 0; k < 200; ++k) {
            std::vector<double> u(static_cast<std::size_t>(free_count(space)));
            for (double& x : u) x = k == 0 ? 0.0 : k == 1 ? 1.0 : unit(random);
            const model_point x = from_unit(space, u.data());
            const double x2 = x[model_param::x_scale_2];
            EXPECT_GE(x[model_param::x_shift], 1.0 - x2 - 1e-12);
            EXPECT_LE(x[model_param::x_shift], 1.0 + x2 + 1e-12);
            for (int p = 0; p < model_param::count; ++p)
                if (p != model_param::x_shift && space.free[p]) {
                    EXPECT_GE(x[p], space.lower[p]);
                    EXPECT_LE(x[p], space.upper[p]);
                }
            const std::vector<double> back = to_unit(space, x);
            for (std::size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(back[i], u[i], 1e-12) << i;
        }
        if (!spin) {
            for (int p = model_param::lambda_deg; p <= model_param::period_h; ++p) EXPECT_FALSE(space.free[p]);
        }
    }
}

TEST(ModelSpace, BoundsAndWrapping)
{
    const model_point start = test_start();
    const model_space space = make_model_space(start, true, 0.01);
    struct value_case {
        int param;
        double value;
        double unit;
    };
    const value_case cases[] = {
        {model_param::y_scale_1, 0.2, 0.0},
        {model_param::x_scale_2, 0.55, 0.5},
        {model_param::x_shift, 1.0 - 0.55, 0.0},  // the lower bound follows x_scale_2
        {model_param::x_shift, 1.0 + 0.275, 0.75},
        {model_param::phi0_deg, 20.0, 0.5},                  // the start in the middle of its window
        {model_param::phi0_deg, 20.0 + 720.0 + 90.0, 0.75},  // whole turns away
        {model_param::phi0_deg, 20.0 - 270.0, 0.75},
        {model_param::lambda_deg, 90.0 - 90.0, 0.25},
        {model_param::beta_deg, -90.0, 0.0},
        {model_param::period_h, 5.0 * 1.01, 1.0},
        {model_param::period_h, 6.0, 1.0},  // clamped
    };
    for (const value_case& c : cases) {
        model_point x = start;
        x[c.param] = c.value;
        EXPECT_NEAR(unit_value(space, x, c.param), c.unit, 1e-12) << model_param_name(c.param) << " " << c.value;
    }
}

}  // namespace
