#pragma once

#include <cmath>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/refine.hpp"

// Objectives with minima and acceptable sets known in closed form, as
// functions of coordinates of the free parameters.

// The model a test space starts from (inside every bound).
inline model_point test_start()
{
    return {0.6, 0.5, 0.55, 0.45, 0.4, 1.0, 20.0, 90.0, 30.0, 5.0};
}

// The model space around test_start() with steps of the same share of
// every window (the objectives here are isotropic in unit coordinates,
// where the model's chi2 is far steeper in phase).
inline model_space test_space(bool spin)
{
    model_space space = make_model_space(test_start(), spin);
    space.phase_step_deg = 360.0;
    space.period_step_rel = (space.upper[model_param::period_h] - space.lower[model_param::period_h]) /
                            (0.5 * (space.upper[model_param::period_h] + space.lower[model_param::period_h]));
    return space;
}

// |u - m|^2.
inline double square_distance(const std::vector<double>& u, const std::vector<double>& m)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < u.size(); ++i) sum += (u[i] - m[i]) * (u[i] - m[i]);
    return sum;
}

// c + a ((u - m)^2 - alpha ((u - m).v)^2), |v| = 1: its set <= c + delta is
// an ellipsoid reaching m_i +- sqrt(delta / a (1 + alpha / (1 - alpha) v_i^2)).
struct ellipsoid_bowl {
    double c = 100.0, a = 1000.0, alpha = 0.6;
    std::vector<double> m, v;

    double at(const std::vector<double>& u) const
    {
        double along = 0.0;
        for (std::size_t i = 0; i < u.size(); ++i) along += (u[i] - m[i]) * v[i];
        return c + a * (square_distance(u, m) - alpha * along * along);
    }
    // Half the extent of {value <= c + delta} along coordinate i.
    double half_width(std::size_t i, double delta) const
    {
        return std::sqrt(delta / a * (1.0 + alpha / (1.0 - alpha) * v[i] * v[i]));
    }
};

// min(c1 + w1 |u - a|^2, c2 + w2 |u - b|^2): the second basin deeper and narrower.
struct two_basins {
    double c1 = 1.5, w1 = 10.0, c2 = 1.0, w2 = 40.0;
    std::vector<double> a, b;

    double at(const std::vector<double>& u) const
    {
        return std::min(c1 + w1 * square_distance(u, a), c2 + w2 * square_distance(u, b));
    }
};

// A long narrow valley (an ellipsoid bowl stretched along v) with ripples
// of amplitude `ripple` and wavelength `wave` over it: the kind of
// roughness a faceted model's visibility gives its chi2.
struct rippled_valley {
    ellipsoid_bowl valley{100.0, 20000.0, 0.995, {}, {}};
    double ripple = 1.0, wave = 0.01;

    double at(const std::vector<double>& u) const
    {
        double bumps = 0.0;
        for (double x : u) bumps += std::sin(3.141592653589793 * x / wave) * std::sin(3.141592653589793 * x / wave);
        return valley.at(u) + ripple * bumps;
    }
};

// The free parameters of `x` mapped linearly from their bounds onto [0, 1]
// (x_shift from [0, 2], not through x_scale_2 as the unit box maps it), so
// that extremes in these coordinates are extremes in natural units.
inline std::vector<double> linear_of(const model_space& space, const model_point& x)
{
    std::vector<double> z;
    for (int p : free_params(space)) z.push_back((x[p] - space.lower[p]) / (space.upper[p] - space.lower[p]));
    return z;
}

// The natural value of parameter `p` at linear coordinate z.
inline double natural_of(const model_space& space, int p, double z)
{
    return space.lower[p] + (space.upper[p] - space.lower[p]) * z;
}

// The objective of `fn` over linear coordinates (or, `unit`, the unit box's).
template <class F>
objective test_objective(const model_space& space, F fn, bool unit = false)
{
    return [space, fn, unit](const model_point& x) {
        return fit_value{fn.at(unit ? to_unit(space, x) : linear_of(space, x)), 0.01};
    };
}

// A grid table: `levels` cell centres per shape parameter (unit box), phi0
// the best of 8 phases, scored by `fn` over unit coordinates.
template <class F>
std::vector<scored_point> grid_table(const model_space& space, const F& fn, int levels)
{
    std::vector<scored_point> rows;
    const int total = static_cast<int>(std::pow(levels, model_param::shape_count));
    for (int k = 0; k < total; ++k) {
        std::vector<double> u(static_cast<std::size_t>(free_count(space)), 0.5);
        for (int p = 0, rest = k; p < model_param::shape_count; ++p, rest /= levels)
            u[static_cast<std::size_t>(p)] = (rest % levels + 0.5) / levels;
        scored_point row{k + 1, {}, HUGE_VAL};
        for (int phase = 0; phase < 8; ++phase) {
            u[model_param::phi0_deg] = (phase + 0.5) / 8.0;
            if (fn.at(u) < row.score) row = {k + 1, from_unit(space, u.data()), fn.at(u)};
        }
        rows.push_back(row);
    }
    return rows;
}
