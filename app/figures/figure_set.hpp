#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include "runs/run_results.hpp"

// The file names (without folder, with extension) of one shape's figures.
QStringList shape_figure_files(int32_t shape);

// The file names of the misfit profiles.
QStringList profile_figure_files();

// The file names of the per-block fit figures of shape `shape` of the run
// (fit_NNNNN_block_BB, BB the file's block number): none for a run of
// fit_blocks_per_figure blocks or fewer, whose fit_NNNNN shows them all.
QStringList fit_block_figure_files(const run_results& run, int32_t shape);

// The file names of the composite of shape `shape` (composite_NNNNN).
QStringList composite_figure_files(int32_t shape);

// The pixel size a fit figure of `blocks` blocks is written at: every
// block's panels, or for more than fit_blocks_per_figure the overview.
QSize fit_figure_size(int32_t blocks);

// Writes the fit, shape and rotation figures of `curves` into `folder` as
// PNG and SVG (fit_NNNNN, shape_NNNNN, rotation_NNNNN), the composite
// (composite_NNNNN) and for a run of more than fit_blocks_per_figure
// blocks one fit figure per block, fit_NNNNN then being their overview;
// false with `why`.
bool write_shape_figures(const run_results& run, const shape_curves& curves, const QString& folder, QString& why);

// Writes the misfit profiles (profiles.png, profiles.svg) with shape
// `selected` marked; false with `why`.
bool write_profile_figure(const run_results& run, int32_t selected, const QString& folder, QString& why);

// The file names of a spin search's figures: the pole map and the periodogram.
QStringList spin_figure_files();

// Writes the spin search's pole map (pole_map.png, .svg) and periodogram
// (periodogram.png, .svg); false with `why`.
bool write_spin_figures(const run_results& run, const QString& folder, QString& why);
