#pragma once

// The small parts every chart of the figures is made of.

#include <QChart>
#include <QChartView>
#include <QLabel>
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

// Vertical error bars of +-sigma[i] around each point of `series`, drawn
// in the series' colour over the chart and redrawn whenever the plot area
// moves; sigma has one entry per point.
void add_error_bars(QChart* chart, QXYSeries* series, const std::vector<double>& sigma);

// The colour of the i-th of several series (ten colours in turn).
QColor series_colour(int i);

// A word-wrapped note in small type under or beside a figure's charts.
QLabel* figure_note(const QString& html);
