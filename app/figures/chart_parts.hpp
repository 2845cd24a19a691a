#pragma once

// The small parts every chart of the figures is made of.

#include <QChart>
#include <QChartView>
#include <QScatterSeries>
#include <QValueAxis>
#include <vector>

// A chart view that draws smoothly and keeps a sensible size.
QChartView* view_of(QChart* chart, int min_height);

// A value axis with a title and the given range, padded and rounded to
// nice ticks unless `exact`.
QValueAxis* value_axis(const QString& title, double lo, double hi, bool exact = false);

// Adds a series to a chart and attaches both axes.
void attach(QChart* chart, QAbstractSeries* series, QValueAxis* x, QValueAxis* y);

// A scatter series of small round markers.
QScatterSeries* markers(const QString& name, const QColor& colour, double size);

// Least and greatest finite value of a list (0, 0 when none).
void finite_range(const std::vector<double>& v, double& lo, double& hi);
