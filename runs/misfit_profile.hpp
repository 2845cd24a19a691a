#pragma once

#include <cstdint>
#include <vector>

#include "runs/summary_table.hpp"

// The lowest misfit over all shapes at one value of a grid parameter.
struct profile_point {
    double value;
    double misfit;
    int32_t shape;  // the shape that has it (1-based)
};

// One parameter's profile: its values in increasing order, and which point
// holds the lowest misfit of all (-1 when no shape has a finite misfit).
struct misfit_profile {
    int param;  // index into a row's params (1 .. 6)
    std::vector<profile_point> points;
    int32_t best = -1;
};

// The profiles of the six grid parameters (y_scale_1 .. x_shift), the
// standard way to read a grid search: for each value a parameter takes,
// the lowest misfit of the shapes that have it. Shapes without a finite
// misfit count at no value; equal misfits keep the lower shape number.
std::vector<misfit_profile> misfit_profiles(const std::vector<summary_row>& rows);
