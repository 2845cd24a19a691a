#pragma once

#include <array>
#include <vector>

// The search steps of the phase and spin per unit of shape step (see unit_steps).
constexpr double phase_degrees_per_unit = 10.0;
constexpr double period_rel_per_unit = 2e-5;

// The parameters of a refined model, in the order the refinement's files
// list them: the six shape parameters (x_scale_1 is always 1), the initial
// rotation phase, and the spin state.
namespace model_param {
constexpr int y_scale_1 = 0;
constexpr int z_scale_1 = 1;
constexpr int x_scale_2 = 2;
constexpr int y_scale_2 = 3;
constexpr int z_scale_2 = 4;
constexpr int x_shift = 5;
constexpr int phi0_deg = 6;
constexpr int lambda_deg = 7;
constexpr int beta_deg = 8;
constexpr int period_h = 9;
constexpr int shape_count = 6;  // the first six are the shape
constexpr int count = 10;
}  // namespace model_param

// A model: every parameter at its natural value (scales, degrees, hours),
// indexed by model_param.
using model_point = std::array<double, model_param::count>;

// The name of parameter `p` as the files write it ("y_scale_1", "phi0_deg", ...).
const char* model_param_name(int p);

// Where a refinement may move a model, and what it may move. Each free
// parameter maps onto one coordinate of the optimiser's unit box [0, 1]^n,
// in model_param order, linearly between `lower` and `upper`; except
// x_shift, whose bounds depend on x_scale_2: its coordinate u gives
// x_shift = (1 - x_scale_2) + 2 x_scale_2 u, so that every point of the box
// is a valid shape. A periodic parameter (phi0, lambda) outside its window
// [lower, upper] is first moved by whole turns into [lower, lower + 360). A parameter that is not free
// keeps its value in `fixed`.
struct model_space {
    model_point lower{};
    model_point upper{};
    std::array<bool, model_param::count> free{};
    std::array<bool, model_param::count> periodic{};
    model_point fixed{};
    double phase_step_deg = phase_degrees_per_unit;  // see unit_steps
    double period_step_rel = period_rel_per_unit;
};

// The space around a starting model `start`: the shape parameters within
// y_scale_1, z_scale_1 in [0.2, 1], x_scale_2, y_scale_2, z_scale_2 in
// [0.1, 1] and x_shift in [1 - x_scale_2, 1 + x_scale_2]; phi0 within 180
// degrees either side of the start's. With `refine_spin` lambda is free too
// (180 degrees either side), beta in [-90, 90] and the period within
// `period_rel` of the start's (relatively); otherwise they stay the start's.
// The bounds may be narrowed afterwards (a known period's uncertainty, say).
model_space make_model_space(const model_point& start, bool refine_spin, double period_rel = 0.005);

// `space` with the window of each periodic parameter moved (its width kept)
// to centre on that parameter of `x`, so that a search from `x` may go as
// far either way.
model_space centred_on(const model_space& space, const model_point& x);

// How many parameters are free: the dimension of the unit box.
int free_count(const model_space& space);

// The indices (model_param) of the free parameters, in box order.
std::vector<int> free_params(const model_space& space);

// Parameter `p` of `x` in unit coordinates (0 at its lower bound, 1 at its
// upper; x_shift as its u), clamped into [0, 1].
double unit_value(const model_space& space, const model_point& x, int p);

// The unit-box vector of model `x`: the free parameters' unit values.
std::vector<double> to_unit(const model_space& space, const model_point& x);

// The model at unit-box vector `u` (free_count values); the other
// parameters as `space.fixed` holds them.
model_point from_unit(const model_space& space, const double* u);

// The steps of a search in each free parameter, in unit coordinates, for
// a step `shape_step` of the shape parameters: the phase and the spin take
// steps of a like effect on the fit, not of a like share of their windows.
// A turn of phase is worth far more than the whole shape box: at a
// rotation's amplitude of a few tenths of a magnitude, a degree of phi0
// moves every point by about as much as a change of 0.1 in a scale. So a
// shape step s is s * space.phase_step_deg degrees of phi0, lambda and
// beta, and a relative change s * space.period_step_rel of the period
// (which over years of observations shifts the phase by as much).
std::vector<double> unit_steps(const model_space& space, double shape_step);

// The distance between two models' shapes: Euclidean, over the unit values
// of the six shape parameters (whether free or not). The diagonal of the
// shape box is sqrt(6).
double shape_distance(const model_space& space, const model_point& a, const model_point& b);
