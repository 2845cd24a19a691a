#pragma once

#include <QWidget>
#include <cstdint>

#include "runs/run_results.hpp"

// Every block of one shape's fit folded on the rotation phase of the run's
// spin, each block moved by its zero point onto the model's scale.

// The most blocks the composite names in a legend; beyond, a note says how
// the colours are given.
constexpr int32_t composite_legend_blocks = 12;

// What block b is moved by in the composite (mag): the chi2 fit's zero
// point, else the mean of the fitted synthetic curve over the block (the
// range and offset fits place the model on each block's own scale).
double composite_zero_point(const run_results& run, const shape_curves& curves, int32_t b);

// The composite: each block's observations minus its zero point over the
// rotation phase (0 to 1), one colour per block, the model on top.
QWidget* composite_figure(const run_results& run, const shape_curves& curves, QWidget* parent = nullptr);
