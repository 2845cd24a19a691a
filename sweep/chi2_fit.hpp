#pragma once

#include <cstdint>

#include "common/phot_point.hpp"

// The chi-square fit at observed points: model magnitudes against observed
// ones, each point weighted by 1/sigma^2, each block (a relative
// lightcurve) moved by its own zero point, found in closed form.

// One block's fit.
struct block_chi2 {
    double chi2 = 0.0;              // sum of w (o - m - z)^2
    double zero_point = 0.0;        // z = sum w (o - m) / sum w, added to the model
    double residual_squares = 0.0;  // sum of (o - m - z)^2, unweighted
    int32_t points = 0;
};

// The fit of model magnitudes m[0, n) to the observed points obs[0, n),
// summed in point order. A block of one point fits exactly: chi2 0. A
// magnitude that is not finite makes the chi2 NaN.
block_chi2 fit_block_chi2(const double* m, const phot_point* obs, int32_t n);

// The fit of several blocks together.
struct chi2_total {
    double chi2 = 0.0;  // sum of the blocks' chi2, in block order
    int32_t points = 0;
    int32_t blocks = 0;
    double reduced = 0.0;  // chi2 / (points - blocks); NaN without a degree of freedom
};

// Fits each of `blocks` blocks, block b the points [starts[b], starts[b + 1])
// of `m` and `obs`; each block's fit into fits[b] when `fits` is given.
chi2_total fit_chi2(const double* m, const phot_point* obs, const int32_t* starts, int32_t blocks, block_chi2* fits);
