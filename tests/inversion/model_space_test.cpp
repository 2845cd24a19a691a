#include <gtest/gtest.h>

#include "inversion/model_space.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

TEST(ModelSpace, UnitValuesFollowTheBoundsAndWrapThePhases)
{
    const model_space space = make_model_space(test_start(), true, 0.01);
    struct value_case {
        int param;
        double value, unit;
    };
    const value_case cases[] = {
        {model_param::y_scale_1, 0.2, 0.0},
        {model_param::x_shift, 1.0 - 0.55, 0.0},  // the bound follows x_scale_2 (0.55)
        {model_param::x_shift, 1.0 + 0.275, 0.75},
        {model_param::phi0_deg, 20.0, 0.5},    // the start in the middle of its window
        {model_param::phi0_deg, 200.0, 1.0},   // the window's upper edge stays there
        {model_param::phi0_deg, 830.0, 0.75},  // whole turns away
        {model_param::phi0_deg, -250.0, 0.75},
        {model_param::lambda_deg, 0.0, 0.25},
        {model_param::beta_deg, -90.0, 0.0},
        {model_param::period_h, 5.0 * 1.01, 1.0},
        {model_param::period_h, 6.0, 1.0},  // clamped
    };
    for (const value_case& c : cases) {
        model_point x = test_start();
        x[c.param] = c.value;
        EXPECT_NEAR(unit_value(space, x, c.param), c.unit, 1e-12) << model_param_name(c.param) << " " << c.value;
        // Through the box and back: the same unit value, and a valid shift.
        const model_point back = from_unit(space, to_unit(space, x).data());
        EXPECT_NEAR(unit_value(space, back, c.param), c.unit, 1e-12) << model_param_name(c.param) << " " << c.value;
        EXPECT_LE(std::fabs(back[model_param::x_shift] - 1.0), back[model_param::x_scale_2] + 1e-12);
    }
    EXPECT_EQ(free_count(space), 10);
    EXPECT_EQ(free_count(make_model_space(test_start(), false)), 7);
}

}  // namespace
