#pragma once

#include <functional>
#include <limits>

#include "inversion/model_space.hpp"

// What the objective says of one model: its chi-square and, when it knows
// it, the rms of the magnitude residuals. A chi2 that is not finite (a model
// that cannot be computed) counts as worse than every finite one.
struct fit_value {
    double chi2 = std::numeric_limits<double>::quiet_NaN();
    double rms_mag = std::numeric_limits<double>::quiet_NaN();
};

// The fit of a model. Called from several threads at once; must give the
// same value for the same model every time. It may throw to end the work:
// the refinement rethrows the exception to its caller.
using objective = std::function<fit_value(const model_point&)>;

// A model with its score: a row of the grid table (shape number, model,
// misfit), or any model with its chi2 (shape 0 when it is not a grid row).
struct scored_point {
    int shape = 0;
    model_point x{};
    double score = std::numeric_limits<double>::quiet_NaN();
};
