#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

#include "runs/misfit_profile.hpp"
#include "runs/run_results.hpp"

// The fit of one shape: per lightcurve block, the observations, the
// reference samples and the synthetic curve placed as the fit placed it,
// with the residuals (synthetic - reference) in a panel underneath.
QWidget* fit_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);

// The most blocks one fit figure shows with their residuals; a run with
// more has a figure per block and an overview of small panels.
constexpr int32_t fit_blocks_per_figure = 8;

// The fit of one shape to block b alone (0-based), with its residuals.
QWidget* fit_block_figure(const run_results& run, const shape_curves& curves, int32_t b, QWidget* parent = nullptr);

// The rows of small panels an overview has at most, so that it stays
// under 4,000 pixels tall.
constexpr int overview_max_rows = 14;

// The columns of the overview of `blocks` blocks: 4, or more when the
// blocks need more than overview_max_rows rows.
int overview_columns(int32_t blocks);

// Every block's fit in a small panel each, without residuals: the page that
// leads to the per-block figures of a run of many blocks.
QWidget* fit_overview_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);

// The band the misfit profiles are read against: a refined chi2 run's
// acceptance threshold (reduced chi2), else a stated relative band above
// the lowest misfit; and the y range that makes it readable.
struct profile_band {
    bool refined = false;      // the threshold is the refinement's
    double lowest = 0.0;       // the lowest misfit (or refined reduced chi2)
    double grid_lowest = 0.0;  // the grid's lowest misfit
    double threshold = 0.0;    // the line drawn
    double y_min = 0.0;        // the panels' y range
    double y_max = 0.0;
    QString meaning;  // what the line is, for the figure's notes
};

// The relative band of runs without a refinement: this fraction above the
// lowest misfit.
constexpr double profile_relative_band = 0.10;

// The profiles' y range reaches this many band heights above the grid's
// lowest misfit (higher values are clipped to the top edge).
constexpr double profile_band_multiple = 4.0;

// The band of the run's profiles.
profile_band band_of_profiles(const run_results& run, const std::vector<misfit_profile>& profiles);

// The misfit profiles of the six grid parameters: for each value, the
// lowest misfit over all shapes; the best value marked, and the value of
// shape `selected` (0: none) marked as well; the band's line across each
// panel, and a note under them explaining every mark and the nested
// parameters' irregular values.
QWidget* profile_figure(const run_results& run, int32_t selected, QWidget* parent = nullptr);

// The synthetic lightcurve of one shape over one full rotation at the
// geometry of its view sample.
QWidget* rotation_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);

// The names of the grid parameters, row order (index 1 .. 6 as in a row).
const char* grid_parameter_name(int param);
