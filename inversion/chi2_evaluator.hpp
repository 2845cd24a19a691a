#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mesh.hpp"
#include "lightcurve/ref_curve.hpp"

// The chi2 fit of a shape anywhere in the continuous parameter space, not
// only on the sweep's grid: for the fitting layer's searches.

// A point of the model: the twin shape and the spin state.
struct chi2_point {
    // y_scale_1, z_scale_1, x_scale_2, y_scale_2, z_scale_2, x_shift
    // (x_scale_1 is always 1).
    double shape[6] = {1.0, 1.0, 1.0, 1.0, 1.0, 0.0};
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double period_hours = 0.0;
    double t0 = 0.0;  // Julian date, or 0
    double phi0_deg = 0.0;
};

// One block's part of an evaluation.
struct block_chi2_result {
    bool used = false;  // false: left out by the mask
    double chi2 = 0.0;
    int32_t points = 0;
    double zero_point = 0.0;  // mag, added to the model
};

// The chi2 fit of one model point.
struct chi2_evaluation {
    double chi2 = 0.0;
    double reduced_chi2 = 0.0;                 // chi2 / (points - blocks)
    double rms = 0.0;                          // of the residuals after the zero points, mag
    int32_t points = 0;                        // of the blocks used
    int32_t blocks = 0;                        // used
    std::vector<block_chi2_result> per_block;  // every block of the data, in its order
};

// Evaluates model points against observed points with the sweep's own
// fast path and chi2 fit, so that a grid shape gets the sweep's chi2 bit
// for bit. The base mesh is built once; evaluate() may be called from many
// threads at once (each call owns its scratch).
class chi2_evaluator {
public:
    // Takes the observed points (ref.block_starts set, sigmas in place) and
    // builds the base mesh of `subdivisions` passes; false with `why` when
    // the points are not a chi2 fit's (check_observed_points), the count is
    // out of range or memory ran out.
    bool prepare(const ref_curve& points, int subdivisions, std::string& why);

    // The chi2 fit of `p` over the blocks whose `mask` entry is not 0 (every
    // block when the mask is empty, else one entry per block: leave one out
    // with a single 0). False with `why` when the evaluator is not prepared,
    // the mask has another length, the blocks kept leave no degree of
    // freedom, a parameter is not finite or the model fails.
    bool evaluate(const chi2_point& p, chi2_evaluation& out, std::string& why,
                  const std::vector<uint8_t>& mask = {}) const;

    int32_t block_count() const { return static_cast<int32_t>(points_.blocks.size()); }
    int32_t point_count() const { return static_cast<int32_t>(points_.times.size()); }

private:
    ref_curve points_;
    std::shared_ptr<const mesh> base_;
};
