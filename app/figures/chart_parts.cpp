#include "app/figures/chart_parts.hpp"

#include <algorithm>
#include <cmath>

// A chart view that draws smoothly and keeps a sensible size.
QChartView* view_of(QChart* chart, int min_height)
{
    auto* view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(min_height);
    return view;
}

// A value axis with a title and the given range, padded and rounded to
// nice ticks unless `exact`.
QValueAxis* value_axis(const QString& title, double lo, double hi, bool exact)
{
    auto* axis = new QValueAxis;
    axis->setTitleText(title);
    if (!(hi > lo)) {
        lo = lo - 0.5;
        hi = hi + 0.5;
    }
    if (exact) {
        axis->setRange(lo, hi);
        axis->setTickCount(7);
        axis->setLabelFormat("%.2f");
        return axis;
    }
    const double pad = (hi - lo) * 0.05;
    // Values that cannot be negative (scales, misfits) get no negative tick.
    axis->setRange(lo >= 0.0 ? std::max(0.0, lo - pad) : lo - pad, hi + pad);
    axis->applyNiceNumbers();
    return axis;
}

// Adds a series to a chart and attaches both axes.
void attach(QChart* chart, QAbstractSeries* series, QValueAxis* x, QValueAxis* y)
{
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
}

// A scatter series of small round markers.
QScatterSeries* markers(const QString& name, const QColor& colour, double size)
{
    auto* s = new QScatterSeries;
    s->setName(name);
    s->setMarkerSize(size);
    s->setColor(colour);
    s->setBorderColor(colour);
    return s;
}

// Least and greatest finite value of a list (0, 0 when none).
void finite_range(const std::vector<double>& v, double& lo, double& hi)
{
    bool any = false;
    for (double x : v) {
        if (!std::isfinite(x)) continue;
        if (!any || x < lo) lo = x;
        if (!any || x > hi) hi = x;
        any = true;
    }
    if (!any) lo = hi = 0.0;
}
