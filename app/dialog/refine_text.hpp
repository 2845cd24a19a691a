#pragma once

#include <string>
#include <vector>

#include "inversion/refinement.hpp"

// What the command line prints after a refinement, line by line: the note
// of a fit with no jackknife, a warning per parameter at a bound of the
// model space, the refined best with its parameters (the spin's too when
// `spin` was refined), its reduced chi2 and rms, and the time of each stage.
std::vector<std::string> refinement_lines(const refinement_result& r, bool spin);

// One line for the status line: the refined best's start shape, reduced
// chi2 and rms, and the parameters at a bound.
std::string refinement_summary(const refinement_result& r);
