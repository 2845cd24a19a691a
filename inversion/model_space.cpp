#include "inversion/model_space.hpp"

#include <algorithm>
#include <cmath>

namespace {

// The bounds of x_shift for a given x_scale_2.
double shift_lower(double x_scale_2)
{
    return 1.0 - x_scale_2;
}
double shift_width(double x_scale_2)
{
    return 2.0 * x_scale_2;
}

// `v` moved by whole turns into [lower, lower + 360).
double wrap_degrees(double v, double lower)
{
    const double turns = std::floor((v - lower) / 360.0);
    return v - 360.0 * turns;
}

// `v` clamped into [0, 1].
double clamp_unit(double v)
{
    return std::min(1.0, std::max(0.0, v));
}

}  // namespace

const char* model_param_name(int p)
{
    static const char* const names[model_param::count] = {"y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2",
                                                          "z_scale_2", "x_shift",   "phi0_deg",  "lambda_deg",
                                                          "beta_deg",  "period_h"};
    return p >= 0 && p < model_param::count ? names[p] : "";
}

model_space make_model_space(const model_point& start, bool refine_spin, double period_rel)
{
    using namespace model_param;
    model_space s;
    s.fixed = start;
    const double scale_lower[shape_count] = {0.2, 0.2, 0.1, 0.1, 0.1, 0.0};
    for (int p = 0; p < shape_count; ++p) {
        s.lower[p] = scale_lower[p];
        s.upper[p] = 1.0;
        s.free[p] = true;
    }
    // x_shift's own bounds are those of its u; the widest it can reach is [0, 2].
    s.upper[x_shift] = 2.0;
    s.lower[phi0_deg] = start[phi0_deg] - 180.0;
    s.upper[phi0_deg] = start[phi0_deg] + 180.0;
    s.free[phi0_deg] = true;
    s.periodic[phi0_deg] = true;
    s.lower[lambda_deg] = start[lambda_deg] - 180.0;
    s.upper[lambda_deg] = start[lambda_deg] + 180.0;
    s.periodic[lambda_deg] = true;
    s.lower[beta_deg] = -90.0;
    s.upper[beta_deg] = 90.0;
    s.lower[period_h] = start[period_h] * (1.0 - period_rel);
    s.upper[period_h] = start[period_h] * (1.0 + period_rel);
    s.free[lambda_deg] = s.free[beta_deg] = s.free[period_h] = refine_spin;
    return s;
}

model_space centred_on(const model_space& space, const model_point& x)
{
    model_space centred = space;
    for (int p = 0; p < model_param::count; ++p) {
        if (!space.periodic[p]) continue;
        const double half = 0.5 * (space.upper[p] - space.lower[p]);
        centred.lower[p] = x[p] - half;
        centred.upper[p] = x[p] + half;
    }
    return centred;
}

int free_count(const model_space& space)
{
    return static_cast<int>(std::count(space.free.begin(), space.free.end(), true));
}

std::vector<int> free_params(const model_space& space)
{
    std::vector<int> params;
    for (int p = 0; p < model_param::count; ++p)
        if (space.free[p]) params.push_back(p);
    return params;
}

double unit_value(const model_space& space, const model_point& x, int p)
{
    if (p == model_param::x_shift) {
        const double x2 = x[model_param::x_scale_2];
        return clamp_unit((x[p] - shift_lower(x2)) / shift_width(x2));
    }
    // A periodic value inside its closed window stays (its upper edge is not its lower).
    const bool outside = x[p] < space.lower[p] || x[p] > space.upper[p];
    const double v = space.periodic[p] && outside ? wrap_degrees(x[p], space.lower[p]) : x[p];
    return clamp_unit((v - space.lower[p]) / (space.upper[p] - space.lower[p]));
}

std::vector<double> to_unit(const model_space& space, const model_point& x)
{
    std::vector<double> u;
    for (int p : free_params(space)) u.push_back(unit_value(space, x, p));
    return u;
}

model_point from_unit(const model_space& space, const double* u)
{
    model_point x = space.fixed;
    double shift_u = unit_value(space, space.fixed, model_param::x_shift);
    std::size_t k = 0;
    for (int p = 0; p < model_param::count; ++p) {
        if (!space.free[p]) continue;
        const double v = clamp_unit(u[k++]);
        if (p == model_param::x_shift)
            shift_u = v;
        else
            x[p] = space.lower[p] + (space.upper[p] - space.lower[p]) * v;
    }
    // x_shift follows x_scale_2, whichever of them is free.
    const double x2 = x[model_param::x_scale_2];
    x[model_param::x_shift] = shift_lower(x2) + shift_width(x2) * shift_u;
    return x;
}

double shape_distance(const model_space& space, const model_point& a, const model_point& b)
{
    double sum = 0.0;
    for (int p = 0; p < model_param::shape_count; ++p) {
        const double d = unit_value(space, a, p) - unit_value(space, b, p);
        sum += d * d;
    }
    return std::sqrt(sum);
}

std::vector<double> unit_steps(const model_space& space, double shape_step)
{
    std::vector<double> steps;
    for (int p : free_params(space)) {
        const double width = space.upper[p] - space.lower[p];
        double natural = shape_step * width;  // a shape parameter: shape_step of its window
        if (p == model_param::phi0_deg || p == model_param::lambda_deg || p == model_param::beta_deg)
            natural = shape_step * space.phase_step_deg;
        else if (p == model_param::period_h)
            natural = shape_step * space.period_step_rel * 0.5 * (space.upper[p] + space.lower[p]);
        steps.push_back(std::min(natural / width, 0.5));
    }
    return steps;
}
