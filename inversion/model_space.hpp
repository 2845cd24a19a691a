#pragma once

#include <array>
#include <vector>

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

// The distance between two models' shapes: Euclidean, over the unit values
// of the six shape parameters (whether free or not). The diagonal of the
// shape box is sqrt(6).
double shape_distance(const model_space& space, const model_point& a, const model_point& b);
