#pragma once

#include <string>

#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"

// Resamples `set` (times non-decreasing, first < last, checked by the reader)
// onto reference_samples times by linear interpolation into `ref`.
void resample_reference(const obs_set& set, ref_curve& ref);

// Resamples each lightcurve block of `set` (runs of equal lc_number, as a
// block selection reads them) on its own reference_samples times, exactly
// as resample_reference does for one, and puts them one after another
// into `ref`, with their block numbers in ref.blocks.
void resample_blocks(const obs_set& set, ref_curve& ref);

// Whether a resampled reference can be fitted: every time, magnitude and
// vector finite and the times strictly increasing. Otherwise `reason` says
// what is wrong (observations too close in time to resample, for one).
bool check_reference(const ref_curve& ref, std::string& reason);

// Writes "ref_lc_interpolated.txt" then "ref_lc.txt" in the working
// directory, each through a temporary file renamed into place; false when
// either could not be written whole, with `why` naming the file and the
// system's reason.
bool write_reference_files(const ref_curve& ref, const obs_set& set, std::string& why);
