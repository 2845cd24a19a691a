#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runs/run_results.hpp"

// The model of one shape between the observed points of a block, for the
// chi2 fit's figures: the points alone show the model only where it was
// observed.

// A curve over time: Julian dates and magnitudes.
struct timed_curve {
    std::vector<double> times;
    std::vector<double> magnitudes;
};

// The samples a dense curve takes over a block of `span_days` with the
// rotation period `period_days`: 200 per rotation, at least 200 and at most
// 4,000.
int32_t dense_samples(double span_days, double period_days);

// The shape's model over block b's time at dense_samples() equally spaced
// times, the earth and sun directions interpolated linearly between the
// block's samples, placed by the block's fitted zero point as the fit placed
// the model at the points. Only for the chi2 fit (the samples are observed
// points); false with `why` otherwise or when the model fails.
bool dense_block_curve(const run_results& run, const shape_curves& curves, int32_t b, timed_curve& curve,
                       std::string& why);
