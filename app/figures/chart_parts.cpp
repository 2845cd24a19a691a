#include "app/figures/chart_parts.hpp"

#include <QGraphicsPathItem>
#include <QPainterPath>
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

// Vertical error bars of +-sigma[i] around each point of `series`.
void add_error_bars(QChart* chart, QXYSeries* series, const std::vector<double>& sigma)
{
    auto* bars = new QGraphicsPathItem(chart);
    bars->setPen(QPen(series->color(), 1.0));
    bars->setZValue(100);  // over the series
    const auto redraw = [chart, series, sigma, bars] {
        QPainterPath path;
        const QRectF area = chart->plotArea();
        const QList<QPointF> points = series->points();
        for (qsizetype i = 0; i < points.size() && i < static_cast<qsizetype>(sigma.size()); ++i) {
            const double s = sigma[static_cast<std::size_t>(i)];
            if (!(s > 0.0) || !std::isfinite(s)) continue;
            QPointF lo = chart->mapToPosition({points[i].x(), points[i].y() - s}, series);
            QPointF hi = chart->mapToPosition({points[i].x(), points[i].y() + s}, series);
            if (!area.contains(QPointF(lo.x(), area.center().y()))) continue;
            lo.setY(std::clamp(lo.y(), area.top(), area.bottom()));
            hi.setY(std::clamp(hi.y(), area.top(), area.bottom()));
            path.moveTo(lo);
            path.lineTo(hi);
        }
        bars->setPath(path);
    };
    QObject::connect(chart, &QChart::plotAreaChanged, chart, redraw);
    QObject::connect(chart, &QChart::geometryChanged, chart, redraw);
}

// The colour of the i-th of several series (ten colours in turn).
QColor series_colour(int i)
{
    static const QColor colours[] = {{31, 119, 180}, {255, 127, 14},  {44, 160, 44},   {214, 39, 40},  {148, 103, 189},
                                     {140, 86, 75},  {227, 119, 194}, {127, 127, 127}, {188, 189, 34}, {23, 190, 207}};
    return colours[((i % 10) + 10) % 10];
}

// A word-wrapped note in small type.
QLabel* figure_note(const QString& html)
{
    auto* label = new QLabel(html);
    label->setWordWrap(true);
    label->setTextFormat(Qt::RichText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    label->setContentsMargins(8, 2, 8, 2);
    return label;
}
