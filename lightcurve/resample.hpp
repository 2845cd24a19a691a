#pragma once

#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"

// Resamples `set` (times non-decreasing, first < last, checked by the reader)
// onto reference_samples times by linear interpolation into `ref`.
void resample_reference(const obs_set& set, ref_curve& ref);

// Writes "ref_lc_interpolated.txt" then "ref_lc.txt" in the working
// directory; false when either file could not be created.
bool write_reference_files(const ref_curve& ref, const obs_set& set);
