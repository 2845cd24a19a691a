#include "app/figures/shape_picture.hpp"

#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

namespace {

const QColor background(255, 255, 255);
const QColor night_colour(28, 28, 32);
const QColor shadow_colour(24, 44, 98);
const QColor hidden_colour(60, 60, 60);

// The largest radiance among the lit facets (1 when none is lit).
double brightest_of(const std::vector<viewed_facet>& facets)
{
    double most = 0.0;
    for (const viewed_facet& f : facets)
        if (f.light == facet_light::lit) most = std::max(most, f.radiance);
    return most > 0.0 ? most : 1.0;
}

// One key entry: a swatch and its words.
void key_entry(QPainter& p, QPointF at, const QColor& colour, const QString& words)
{
    p.setPen(Qt::black);
    p.setBrush(colour);
    p.drawRect(QRectF(at.x(), at.y() - 11, 14, 14));
    p.drawText(at + QPointF(20, 0), words);
}

}  // namespace

QColor facet_colour(const viewed_facet& f, double brightest)
{
    switch (f.light) {
    case facet_light::lit: {
        const double share = std::clamp(f.radiance / brightest, 0.0, 1.0);
        const int level = 70 + static_cast<int>(185.0 * share);
        return QColor(level, level, std::max(0, level - 12));
    }
    case facet_light::night: return night_colour;
    case facet_light::shadowed: return shadow_colour;
    case facet_light::hidden: return hidden_colour;
    }
    return night_colour;
}

QRectF view_extent(const std::vector<viewed_facet>& facets)
{
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    bool first = true;
    for (const viewed_facet& f : facets)
        for (int k = 0; k < 3; ++k) {
            if (first || f.x[k] < x0) x0 = f.x[k];
            if (first || f.x[k] > x1) x1 = f.x[k];
            if (first || f.y[k] < y0) y0 = f.y[k];
            if (first || f.y[k] > y1) y1 = f.y[k];
            first = false;
        }
    return QRectF(x0, y0, x1 - x0, y1 - y0);
}

void paint_view(QPainter& painter, const std::vector<viewed_facet>& facets, const QRectF& extent, const QRectF& target)
{
    const double span = std::max(extent.width(), extent.height());
    if (!(span > 0.0)) return;
    const double scale = std::min(target.width(), target.height()) / span;
    const QPointF middle = target.center();
    const QPointF centre = extent.center();
    const double brightest = brightest_of(facets);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    // The hidden facets first: whatever the nearer facets leave of them
    // shows that the model counts them as hidden.
    std::vector<const viewed_facet*> order;
    order.reserve(facets.size());
    for (const viewed_facet& f : facets)
        if (f.light == facet_light::hidden) order.push_back(&f);
    for (const viewed_facet& f : facets)
        if (f.light != facet_light::hidden) order.push_back(&f);
    for (const viewed_facet* drawn : order) {
        const viewed_facet& f = *drawn;
        QPolygonF corners;
        for (int k = 0; k < 3; ++k)
            corners << QPointF(middle.x() + (f.x[k] - centre.x()) * scale, middle.y() - (f.y[k] - centre.y()) * scale);
        const QColor colour = facet_colour(f, brightest);
        // An outline in the fill's colour closes the hairline gaps between facets.
        painter.setPen(QPen(colour, 0.8));
        painter.setBrush(colour);
        painter.drawPolygon(corners);
    }
    painter.restore();
}

QImage render_view(const std::vector<viewed_facet>& facets, int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    paint_view(painter, facets, view_extent(facets), QRectF(0, 0, side, side).adjusted(8, 8, -8, -8));
    return image;
}

shape_picture::shape_picture(const shape_curves& curves, QWidget* parent) : QWidget(parent), curves_(curves)
{
    setMinimumSize(420, 300);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, background);
    setPalette(p);
}

void shape_picture::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), background);
    const double w = width(), h = height();
    const double title = 26.0, key = 30.0;
    const double big = std::min(w * 0.64, h - title - key);
    p.setPen(Qt::black);
    QFont f = p.font();
    f.setPointSizeF(f.pointSizeF() * 1.1);
    p.setFont(f);
    p.drawText(QRectF(0, 2, w * 0.66, title), Qt::AlignCenter,
               QString("shape %1 seen from the earth at sample %2").arg(curves_.shape).arg(curves_.view_sample + 1));
    paint_view(p, curves_.earth_view, view_extent(curves_.earth_view), QRectF(20, title + 8, big - 20, big - 16));

    // The three axis views share one scale: the largest of their boxes.
    double span = 0.0;
    for (const auto& v : curves_.axis_views) {
        const QRectF e = view_extent(v);
        span = std::max({span, e.width(), e.height()});
    }
    const double small = std::min(w - big - 40, (h - title - key) / 3.0 - 18);
    const char* names[3] = {"from +x (y right, z up)", "from +y (z right, x up)", "from +z (x right, y up)"};
    for (int axis = 0; axis < 3; ++axis) {
        const double top = title + axis * (small + 18);
        const QRectF target(big + 30, top + 16, small, small);
        const QRectF e = view_extent(curves_.axis_views[axis]);
        const QRectF square(e.center().x() - span / 2, e.center().y() - span / 2, span, span);
        p.setPen(Qt::black);
        p.drawText(QRectF(big + 30, top, w - big - 30, 16), Qt::AlignLeft | Qt::AlignVCenter, names[axis]);
        paint_view(p, curves_.axis_views[axis], square, target);
    }
    const double y = h - 10;
    key_entry(p, {12, y}, QColor(230, 230, 218), "lit (grey by brightness)");
    key_entry(p, {220, y}, night_colour, "night side");
    key_entry(p, {340, y}, shadow_colour, "shadowed by the other lobe");
    key_entry(p, {560, y}, hidden_colour, "hidden");
}
