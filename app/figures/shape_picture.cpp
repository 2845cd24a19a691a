#include "app/figures/shape_picture.hpp"

#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

#include "runs/block_facts.hpp"

namespace {

const QColor background(255, 255, 255);
const QColor night_colour(28, 28, 32);
const QColor shadow_colour(24, 44, 98);
const QColor hidden_colour(60, 60, 60);
const QColor hidden_hatch(150, 150, 150);
const QColor axis_colour(200, 30, 30);
const QColor sun_colour(230, 150, 0);
const QColor earth_colour(30, 110, 200);

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

// Where a view's box lands in a target rectangle: one scale for both axes,
// the box's centre on the target's, y up.
struct view_placement {
    double scale = 0.0;
    QPointF middle, centre;
    QPointF pixel(double x, double y) const
    {
        return {middle.x() + (x - centre.x()) * scale, middle.y() - (y - centre.y()) * scale};
    }
};

view_placement place_view(const QRectF& extent, const QRectF& target)
{
    const double span = std::max(extent.width(), extent.height());
    if (!(span > 0.0)) return {};
    return {std::min(target.width(), target.height()) / span, target.center(), extent.center()};
}

// An arrow from `from` to `to` with its head, and a label past the head.
void arrow(QPainter& p, QPointF from, QPointF to, const QColor& colour, const QString& label)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(colour, 2.2));
    p.drawLine(from, to);
    const QPointF d = to - from;
    const double length = std::hypot(d.x(), d.y());
    if (length > 1.0) {
        const QPointF u = d / length, n(-u.y(), u.x());
        QPolygonF head;
        head << to << to - 10.0 * u + 4.5 * n << to - 10.0 * u - 4.5 * n;
        p.setBrush(colour);
        p.drawPolygon(head);
        p.drawText(to + 8.0 * u + QPointF(-4, 4), label);
    }
    p.restore();
}

// A direction seen end-on: a dot in a ring toward the viewer, a cross in a
// ring away from it, with a label.
void end_on(QPainter& p, QPointF at, bool toward, const QColor& colour, const QString& label)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(colour, 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(at, 7.0, 7.0);
    if (toward) {
        p.setBrush(colour);
        p.drawEllipse(at, 2.5, 2.5);
    } else {
        p.drawLine(at + QPointF(-5, -5), at + QPointF(5, 5));
        p.drawLine(at + QPointF(-5, 5), at + QPointF(5, -5));
    }
    p.drawText(at + QPointF(11, 4), label);
    p.restore();
}

// A unit direction (x right, y up, z toward the viewer) drawn from `centre`
// out to `reach` pixels: an arrow when it lies mostly across the view;
// within 15 degrees of the line of sight, a mark at `aside` instead.
void direction_mark(QPainter& p, QPointF centre, double reach, const vec3& d, const QColor& colour,
                    const QString& label, QPointF aside)
{
    const double across = std::hypot(d.x, d.y);
    if (across < 0.26) {
        end_on(p, aside, d.z > 0.0, colour, label + (d.z > 0.0 ? " (toward you)" : " (away from you)"));
        return;
    }
    arrow(p, centre, centre + QPointF(d.x, -d.y) * reach, colour, label);
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
    const view_placement at = place_view(extent, target);
    if (!(at.scale > 0.0)) return;
    const double brightest = brightest_of(facets);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    // Farthest first, as the views list them: a nearer facet paints over a
    // farther one, whatever the model made of either.
    for (const viewed_facet& f : facets) {
        QPolygonF corners;
        for (int k = 0; k < 3; ++k) corners << at.pixel(f.x[k], f.y[k]);
        const QColor colour = facet_colour(f, brightest);
        // An outline in the fill's colour closes the hairline gaps between facets.
        painter.setPen(QPen(colour, 0.8));
        painter.setBrush(colour);
        painter.drawPolygon(corners);
        if (f.light == facet_light::hidden) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QBrush(hidden_hatch, Qt::BDiagPattern));
            painter.drawPolygon(corners);
        }
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
    const double title = 44.0, key = 76.0;
    const double big = std::min(w * 0.64, h - title - key);
    p.setPen(Qt::black);
    QFont f = p.font();
    f.setPointSizeF(f.pointSizeF() * 1.1);
    p.setFont(f);
    const QString block =
        curves_.view_block < 0 ? QString("the whole file") : QString("block %1").arg(curves_.view_block);
    p.drawText(QRectF(0, 2, w * 0.66, 20), Qt::AlignCenter,
               QString("shape %1 seen from the earth: %2, sample %3")
                   .arg(curves_.shape)
                   .arg(block)
                   .arg(curves_.view_sample + 1));
    p.drawText(QRectF(0, 22, w * 0.66, 20), Qt::AlignCenter,
               QString("JD %1 (%2)")
                   .arg(curves_.view_time, 0, 'f', 5)
                   .arg(QString::fromStdString(utc_date(curves_.view_time))));
    const QRectF big_target(20, title + 8, big - 20, big - 16);
    const QRectF big_box = view_extent(curves_.earth_view);
    paint_view(p, curves_.earth_view, big_box, big_target);
    const view_placement big_at = place_view(big_box, big_target);
    // The spin axis through the body's centre of coordinates, the sun's
    // direction, and the earth (the viewer).
    const QPointF origin = big_at.pixel(0.0, 0.0);
    const double reach = 0.42 * std::min(big_target.width(), big_target.height());
    const QPointF corner = big_target.topLeft() + QPointF(10, 10);
    direction_mark(p, origin, reach, curves_.view_spin_axis, axis_colour, "spin axis (north)", corner);
    direction_mark(p, origin, reach * 0.8, curves_.view_sun, sun_colour, "to the sun", corner + QPointF(0, 22));
    p.setPen(earth_colour);
    p.drawText(QRectF(big_target.left(), big_target.bottom() - 16, big_target.width(), 16), Qt::AlignLeft,
               "the earth: toward you");
    // A bar one lobe-1 radius long (the model's unit: lobe 1 is 1 along x),
    // in km when the body's size is known.
    if (big_at.scale > 0.0) {
        const QPointF bar(big_target.right() - big_at.scale - 10, big_target.bottom() - 8);
        p.setPen(QPen(Qt::black, 2.0));
        p.drawLine(bar, bar + QPointF(big_at.scale, 0));
        p.drawLine(bar + QPointF(0, -4), bar + QPointF(0, 4));
        p.drawLine(bar + QPointF(big_at.scale, -4), bar + QPointF(big_at.scale, 4));
        const QString length = curves_.km_per_unit > 0.0
                                   ? QString("1 lobe-1 radius = %1 km").arg(curves_.km_per_unit, 0, 'g', 4)
                                   : QString("1 lobe-1 radius");
        p.drawText(QRectF(bar.x() - 60, bar.y() - 22, big_at.scale + 120, 16), Qt::AlignCenter, length);
    }

    // The three axis views share one scale: the largest of their boxes.
    double span = 0.0;
    for (const auto& v : curves_.axis_views) {
        const QRectF e = view_extent(v);
        span = std::max({span, e.width(), e.height()});
    }
    const double small = std::min(w - big - 40, (h - title - key) / 3.0 - 18);
    const char* names[3] = {"from +x (y right, z up)", "from +y (z right, x up)", "from +z (x right, y up)"};
    // Each view's right, up and toward-the-viewer axes in body coordinates.
    const int axes[3][3] = {{1, 2, 0}, {2, 0, 1}, {0, 1, 2}};
    for (int axis = 0; axis < 3; ++axis) {
        const double top = title + axis * (small + 18);
        const QRectF target(big + 30, top + 16, small, small);
        const QRectF e = view_extent(curves_.axis_views[axis]);
        const QRectF square(e.center().x() - span / 2, e.center().y() - span / 2, span, span);
        p.setPen(Qt::black);
        p.drawText(QRectF(big + 30, top, w - big - 30, 16), Qt::AlignLeft | Qt::AlignVCenter, names[axis]);
        paint_view(p, curves_.axis_views[axis], square, target);
        const auto in_view = [&](const vec3& v) {
            const double c[3] = {v.x, v.y, v.z};
            return vec3{c[axes[axis][0]], c[axes[axis][1]], c[axes[axis][2]]};
        };
        const QPointF at = place_view(square, target).pixel(0.0, 0.0);
        const QPointF aside = target.topRight() + QPointF(-70, 8);
        direction_mark(p, at, small * 0.45, in_view(curves_.body_sun), sun_colour, "sun", aside);
        direction_mark(p, at, small * 0.38, in_view(curves_.body_earth), earth_colour, "earth", aside + QPointF(0, 18));
    }
    const double y = h - 46;
    key_entry(p, {12, y}, QColor(230, 230, 218), "lit (grey by brightness)");
    key_entry(p, {220, y}, night_colour, "night side");
    key_entry(p, {340, y}, shadow_colour, "shadowed by the other lobe");
    key_entry(p, {560, y}, hidden_colour, "hidden (hatched)");
    p.setPen(Qt::black);
    p.drawText(QRectF(12, h - 36, w - 24, 34), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
               "hidden: facing the earth, but the other lobe stands between its centre and the earth, so the model "
               "counts none of its light; whole facets switch, so the edge along the neck follows the facets");
}
