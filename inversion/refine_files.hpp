#pragma once

#include <string>
#include <vector>

#include "inversion/model_space.hpp"
#include "inversion/refine.hpp"
#include "inversion/uncertainty.hpp"

// Writes the refined solutions (`output/refined.txt`) through a temporary
// renamed into place: a header line "# start_shape y_scale_1 z_scale_1
// x_scale_2 y_scale_2 z_scale_2 x_shift phi0_deg [lambda_deg beta_deg
// period_h] chi2 reduced_chi2 rms_mag evaluations" (the spin columns when
// any spin parameter is free in `space`), then one line per solution in the
// order given (best first, as refine_starts orders them), blank-separated:
// the start's shape number (0 for the global stage), the parameters with
// %.6f (period_h with %.9f), chi2 with %.10g, chi2 / nu and rms_mag with
// %.6g ("nan" when unknown), the objective calls. False with `why` when it
// cannot be written.
bool write_refined(const std::string& path, const model_space& space, const std::vector<refined>& solutions, double nu,
                   std::string& why);

// Writes the acceptable set and, when given, the jackknife
// (`output/uncertainty.json`) through a temporary renamed into place: an
// object with "chi2_min", "nu", "threshold", "sigma_inflation",
// "parameters" {name: {"best", "min", "max"}} over the free parameters,
// "jackknife" {"blocks": B, name: {"spread", "min", "max"}} (null without
// one) and "at_bound" [names]. Numbers with %.10g, null when not finite.
// False with `why` when it cannot be written.
bool write_uncertainty(const std::string& path, const acceptable_set& set, const jackknife_result* jack,
                       std::string& why);
