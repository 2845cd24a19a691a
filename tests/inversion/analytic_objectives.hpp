#pragma once

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/refine.hpp"

// Objectives whose minima and acceptable sets are known in closed form, for
// the tests of the refinement. They are functions of the free parameters'
// unit coordinates (to_unit), so that they live inside the box whatever the
// parameter's units.

// The shape and spin a test space starts from (inside every bound).
inline model_point test_start()
{
    return {0.6, 0.5, 0.55, 0.45, 0.4, 1.0, 20.0, 90.0, 30.0, 5.0};
}

// Unit coordinates of `x` in `space`.
inline std::vector<double> unit_of(const model_space& space, const model_point& x)
{
    return to_unit(space, x);
}

// c + (u - m)^T A (u - m) with A = a (I - alpha v v^T), |v| = 1: the set
// where it is <= c + delta is an ellipsoid whose extent along u_p is
// m_p +- sqrt(delta / a * (1 + alpha / (1 - alpha) v_p^2)).
struct ellipsoid_bowl {
    double c = 100.0;
    double a = 1000.0;
    double alpha = 0.6;
    std::vector<double> m, v;

    // The bowl's value at unit point u.
    double at(const std::vector<double>& u) const
    {
        double square = 0.0, along = 0.0;
        for (std::size_t i = 0; i < u.size(); ++i) {
            square += (u[i] - m[i]) * (u[i] - m[i]);
            along += (u[i] - m[i]) * v[i];
        }
        return c + a * (square - alpha * along * along);
    }
    // Half the extent of {value <= c + delta} along coordinate i.
    double half_width(std::size_t i, double delta) const
    {
        return std::sqrt(delta / a * (1.0 + alpha / (1.0 - alpha) * v[i] * v[i]));
    }
};

// min(c1 + w1 |u - a|^2, c2 + w2 |u - b|^2): two basins, the second deeper
// (c2 < c1) and narrower.
struct two_basins {
    double c1 = 1.5, w1 = 10.0, c2 = 1.0, w2 = 40.0;
    std::vector<double> a, b;

    // The function at unit point u.
    double at(const std::vector<double>& u) const
    {
        double da = 0.0, db = 0.0;
        for (std::size_t i = 0; i < u.size(); ++i) {
            da += (u[i] - a[i]) * (u[i] - a[i]);
            db += (u[i] - b[i]) * (u[i] - b[i]);
        }
        return std::min(c1 + w1 * da, c2 + w2 * db);
    }
};

// The free parameters of `x` scaled linearly onto their bounds (x_shift
// onto [0, 2], not through x_scale_2 as the unit box maps it), so that a
// function of them has closed-form extremes in natural units.
inline std::vector<double> linear_of(const model_space& space, const model_point& x)
{
    std::vector<double> z;
    for (int p : free_params(space)) z.push_back((x[p] - space.lower[p]) / (space.upper[p] - space.lower[p]));
    return z;
}

// Natural value of free parameter `p` at linear coordinate z.
inline double natural_of(const model_space& space, int p, double z)
{
    return space.lower[p] + (space.upper[p] - space.lower[p]) * z;
}

// The objective of a function of the linear coordinates in `space`.
template <class F>
objective linear_objective(const model_space& space, F fn)
{
    return [space, fn](const model_point& x) { return fit_value{fn.at(linear_of(space, x)), 0.01}; };
}

// The objective of a function of unit coordinates in `space`.
template <class F>
objective unit_objective(const model_space& space, F fn)
{
    return [space, fn](const model_point& x) { return fit_value{fn.at(to_unit(space, x)), 0.01}; };
}

// A grid table over the shape parameters: `levels` values per shape
// parameter at the centres of equal cells, phi0 the best of 8 phases, each
// row scored by `fn` (shape numbers from 1).
template <class F>
std::vector<scored_point> grid_table(const model_space& space, const F& fn, int levels)
{
    std::vector<scored_point> rows;
    int total = 1;
    for (int p = 0; p < model_param::shape_count; ++p) total *= levels;
    const std::vector<int> params = free_params(space);
    for (int k = 0; k < total; ++k) {
        std::vector<double> u(params.size(), 0.5);
        for (int p = 0, rest = k; p < model_param::shape_count; ++p, rest /= levels)
            u[static_cast<std::size_t>(p)] = (rest % levels + 0.5) / levels;
        scored_point row{k + 1, {}, HUGE_VAL};
        for (int phase = 0; phase < 8; ++phase) {
            u[model_param::phi0_deg] = (phase + 0.5) / 8.0;
            const double value = fn.at(u);
            if (value < row.score) {
                row.score = value;
                row.x = from_unit(space, u.data());
            }
        }
        rows.push_back(row);
    }
    return rows;
}
