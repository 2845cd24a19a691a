#pragma once

#include <QWidget>
#include <cstdint>

#include "runs/misfit_profile.hpp"
#include "runs/run_results.hpp"

// The fit of one shape: per lightcurve block, the observations, the
// reference samples and the synthetic curve placed as the fit placed it,
// with the residuals (synthetic - reference) in a panel underneath.
QWidget* fit_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);

// The misfit profiles of the six grid parameters: for each value, the
// lowest misfit over all shapes; the best value marked, and the value of
// shape `selected` (0: none) marked as well.
QWidget* profile_figure(const run_results& run, int32_t selected, QWidget* parent = nullptr);

// The synthetic lightcurve of one shape over one full rotation at the
// geometry of its view sample.
QWidget* rotation_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);

// The names of the grid parameters, row order (index 1 .. 6 as in a row).
const char* grid_parameter_name(int param);
