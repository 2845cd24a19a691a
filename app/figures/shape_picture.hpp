#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QWidget>
#include <vector>

#include "photometry/facet_view.hpp"
#include "runs/run_results.hpp"

// The fill of a facet in a picture: lit facets in grey by their brightness
// relative to `brightest`, night side almost black, shadowed facets dark
// blue, hidden ones dark grey (the nearer facets paint over them).
QColor facet_colour(const viewed_facet& f, double brightest);

// The box around the projected corners of a view.
QRectF view_extent(const std::vector<viewed_facet>& facets);

// Paints the facets (the hidden ones first, then the rest farthest first) into `target`, the view's box
// `extent` scaled to fit and centred, y up.
void paint_view(QPainter& painter, const std::vector<viewed_facet>& facets, const QRectF& extent, const QRectF& target);

// One view alone on a white square image of `side` pixels.
QImage render_view(const std::vector<viewed_facet>& facets, int side);

// The shape from the earth at its sample (large, with a key to the colours)
// and from the three body axes (small, at one common scale).
class shape_picture : public QWidget {
public:
    explicit shape_picture(const shape_curves& curves, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {900, 660}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    shape_curves curves_;
};
