#pragma once

// The figures of a spin search: the pole map and the periodogram.

#include <QWidget>

#include "runs/run_results.hpp"

// The pole map: the first level's poles on an equal-area (Hammer-Aitoff)
// map of the whole sky, coloured by their lowest chi2 over the periods
// above the level's best, in units of its threshold's margin; the finer
// levels' poles dotted, the last level's pixels under its threshold
// outlined; the best pole and its mirror marked.
QWidget* pole_map_figure(const run_results& run, QWidget* parent = nullptr);

// The periodogram: at each period of the first level, the lowest chi2 over
// its poles, with the level's threshold.
QWidget* periodogram_figure(const run_results& run, QWidget* parent = nullptr);

// Where (lambda, beta) in degrees falls on the map: Hammer-Aitoff, lambda
// 180 at the centre and increasing to the right, x in [-2 sqrt 2, 2 sqrt 2],
// y in [-sqrt 2, sqrt 2].
QPointF hammer_aitoff(double lambda_deg, double beta_deg);
