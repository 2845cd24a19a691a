#pragma once

#include <cstdint>
#include <string>

#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"

// The chi2 fit's reference: the observed points themselves, block after
// block, each with its sigma, instead of samples resampled from them.

// Takes every observation of `set` into `ref` as it is, in file order: one
// block per run of equal lc_number (ref.blocks their numbers,
// ref.block_starts where each starts, then the point count).
void take_observed_points(const obs_set& set, ref_curve& ref);

// The degrees of freedom of the fit of observed points: points less blocks
// (each block's zero point is fitted).
int64_t degrees_of_freedom(const ref_curve& ref);

// Whether `ref` holds observed points the chi2 fit can use: arrays of one
// length, blocks numbered from 0 in increasing order whose starts run from
// 0 to the point count, each block's
// points of its block number with times that never decrease, every number
// finite, every sigma above 0, and at least one degree of freedom.
// Otherwise `reason` says what is wrong.
bool check_observed_points(const ref_curve& ref, std::string& reason);
