#include "app/figures/spin_charts.hpp"

#include <QLegendMarker>
#include <QLineSeries>
#include <QPen>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <map>

#include "app/figures/chart_parts.hpp"
#include "inversion/pole_grid.hpp"

namespace {

constexpr double radians_per_degree = 0.017453292519943295;

// Level `level`'s threshold, NaN when the manifest has none.
double threshold_of(const run_results& run, int level)
{
    const auto& levels = run.manifest.spin_search.each_level;
    return level < static_cast<int>(levels.size()) ? levels[static_cast<std::size_t>(level)].threshold : std::nan("");
}

// The first level's spins folded over the periods: per pixel, the lowest
// chi2, in pixel order.
std::vector<spin_fit> first_level_poles(const run_results& run)
{
    std::map<int64_t, spin_fit> lowest;
    for (const spin_fit& s : run.searched) {
        if (s.level != 0) continue;
        auto [at, fresh] = lowest.emplace(s.at.pixel, s);
        if (!fresh && s.chi2 < at->second.chi2) at->second = s;
    }
    std::vector<spin_fit> out;
    for (const auto& [pixel, s] : lowest) out.push_back(s);
    return out;
}

// A thin grey line of the map's graticule, left out of the legend.
QLineSeries* graticule_line(QChart* chart)
{
    auto* line = new QLineSeries;
    line->setPen(QPen(QColor(200, 200, 200), 1.0));
    chart->addSeries(line);
    return line;
}

// Hides a series' entry in the legend.
void unlisted(QChart* chart, QAbstractSeries* series)
{
    for (QLegendMarker* m : chart->legend()->markers(series)) m->setVisible(false);
}

// The meridians every 60 degrees and the parallels every 30, and the
// map's edge.
void draw_graticule(QChart* chart, QValueAxis* x, QValueAxis* y)
{
    for (int lambda = 0; lambda <= 360; lambda += 60) {
        QLineSeries* line = graticule_line(chart);
        // Just inside the edge, which the projection puts at both sides.
        const double l = lambda == 0 ? 1e-9 : (lambda == 360 ? 360.0 - 1e-9 : lambda);
        for (int beta = -90; beta <= 90; beta += 3) line->append(hammer_aitoff(l, beta));
        line->attachAxis(x);
        line->attachAxis(y);
        unlisted(chart, line);
    }
    for (int beta = -60; beta <= 60; beta += 30) {
        QLineSeries* line = graticule_line(chart);
        for (int lambda = 0; lambda <= 360; lambda += 3)
            line->append(hammer_aitoff(std::clamp(double(lambda), 1e-9, 360.0 - 1e-9), beta));
        line->attachAxis(x);
        line->attachAxis(y);
        unlisted(chart, line);
    }
}

// The outline of the pixel holding a pole, unless it crosses the map's
// edge at lambda 0 (then it would run across the whole map).
void outline_pixel(QChart* chart, const pole& p, QValueAxis* x, QValueAxis* y, bool listed)
{
    const std::vector<std::pair<double, double>> corners = pixel_outline(p.nside, p.lambda_deg, p.beta_deg, 6);
    double lo = 360.0, hi = 0.0;
    for (const auto& [l, b] : corners) {
        lo = std::min(lo, l);
        hi = std::max(hi, l);
    }
    if (hi - lo > 180.0) return;
    auto* line = new QLineSeries;
    line->setName("last level: pixels under its threshold");
    line->setPen(QPen(QColor(120, 0, 0), 1.5));
    for (const auto& [l, b] : corners) line->append(hammer_aitoff(l, b));
    line->append(hammer_aitoff(corners.front().first, corners.front().second));
    chart->addSeries(line);
    line->attachAxis(x);
    line->attachAxis(y);
    if (!listed) unlisted(chart, line);
}

}  // namespace

QPointF hammer_aitoff(double lambda_deg, double beta_deg)
{
    const double l = (lambda_deg - 180.0) * radians_per_degree, b = beta_deg * radians_per_degree;
    const double d = std::sqrt(1.0 + std::cos(b) * std::cos(l / 2.0));
    return {2.0 * std::sqrt(2.0) * std::cos(b) * std::sin(l / 2.0) / d, std::sqrt(2.0) * std::sin(b) / d};
}

QWidget* pole_map_figure(const run_results& run, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    auto* chart = new QChart;
    const std::vector<spin_fit> poles = first_level_poles(run);
    const auto& levels = run.manifest.spin_search.each_level;
    const int last = static_cast<int>(levels.size()) - 1;
    chart->setTitle(QString("Pole map: the %1 poles of the first level (nside %2, lowest chi2 over the periods), "
                            "equal-area (Hammer-Aitoff); lambda 0 at the left edge, 180 at the centre, 360 at the "
                            "right; beta up")
                        .arg(poles.size())
                        .arg(run.manifest.spin_search.nside));
    auto* x = value_axis("", -2.0 * std::sqrt(2.0), 2.0 * std::sqrt(2.0), true);
    auto* y = value_axis("", -std::sqrt(2.0), std::sqrt(2.0), true);
    x->setVisible(false);
    y->setVisible(false);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    draw_graticule(chart, x, y);
    // Bins of chi2 above the first level's best, in units of its threshold's margin.
    double best = INFINITY;
    for (const spin_fit& p : poles) best = std::min(best, p.chi2);
    const double margin = threshold_of(run, 0) - best;
    struct bin {
        double up_to;
        const char* name;
        QColor colour;
        double size;
    };
    const bin bins[] = {{1.0, "first level: under its threshold", QColor(178, 24, 43), 11.0},
                        {10.0, "up to 10 margins above its best", QColor(244, 165, 130), 9.0},
                        {100.0, "up to 100 margins", QColor(146, 197, 222), 8.0},
                        {INFINITY, "more", QColor(150, 150, 150), 6.0}};
    std::vector<QScatterSeries*> series;
    for (const bin& b : bins) series.push_back(markers(QString::fromUtf8(b.name), b.colour, b.size));
    for (const spin_fit& p : poles) {
        const double units = margin > 0.0 ? (p.chi2 - best) / margin : 0.0;
        std::size_t k = 0;
        while (k + 1 < std::size(bins) && !(units <= bins[k].up_to)) ++k;
        series[k]->append(hammer_aitoff(p.at.lambda_deg, p.at.beta_deg));
    }
    for (QScatterSeries* s : series) attach(chart, s, x, y);
    // The finer levels' poles, and the last level's pixels under its threshold.
    if (last > 0) {
        auto* finer = markers("finer levels' poles", QColor(40, 40, 40), 4.0);
        bool outlined = false;
        for (const spin_fit& s : run.searched) {
            if (s.level == 0) continue;
            finer->append(hammer_aitoff(s.at.lambda_deg, s.at.beta_deg));
            if (s.level == last && s.chi2 <= threshold_of(run, last)) {
                outline_pixel(chart, s.at, x, y, !outlined);
                outlined = true;
            }
        }
        attach(chart, finer, x, y);
    }
    if (!run.spins.empty()) {
        const spin_row& b = run.spins.front();
        auto* top = markers(QString("best pole (%1, %2)").arg(b.lambda_deg, 0, 'f', 1).arg(b.beta_deg, 0, 'f', 1),
                            QColor(33, 102, 172), 18.0);
        top->setMarkerShape(QScatterSeries::MarkerShapeStar);
        top->append(hammer_aitoff(b.lambda_deg, b.beta_deg));
        attach(chart, top, x, y);
        auto* mirror = markers("its mirror", Qt::transparent, 18.0);
        mirror->setMarkerShape(QScatterSeries::MarkerShapeStar);
        mirror->setPen(QPen(QColor(33, 102, 172), 1.5));
        mirror->append(hammer_aitoff(std::fmod(b.lambda_deg + 180.0, 360.0), b.beta_deg));
        attach(chart, mirror, x, y);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    layout->addWidget(view_of(chart, 500));
    return figure;
}

QWidget* periodogram_figure(const run_results& run, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    std::map<double, double> lowest;  // period -> lowest chi2 over the first level's poles
    for (const spin_fit& s : run.searched) {
        if (s.level != 0) continue;
        auto [at, fresh] = lowest.emplace(s.x[model_param::period_h], s.chi2);
        if (!fresh && s.chi2 < at->second) at->second = s.chi2;
    }
    auto* line = new QLineSeries;
    line->setName("lowest chi2 over the poles");
    line->setPen(QPen(QColor(31, 119, 180), 1.5));
    auto* points = markers("periods tried", QColor(31, 119, 180), 6.0);
    std::vector<double> xs, ys;
    for (const auto& [period, chi2] : lowest) {
        line->append(period, chi2);
        points->append(period, chi2);
        xs.push_back(period);
        ys.push_back(chi2);
    }
    const double threshold = threshold_of(run, 0);
    if (std::isfinite(threshold)) ys.push_back(threshold);
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    finite_range(xs, x0, x1);
    finite_range(ys, y0, y1);
    auto* chart = new QChart;
    chart->setTitle(QString("Periodogram of the first level: %1 periods").arg(lowest.size()));
    auto* x = value_axis("period (h)", x0, x1);
    auto* y = value_axis("lowest chi2 over the poles", y0, y1);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    attach(chart, line, x, y);
    attach(chart, points, x, y);
    if (std::isfinite(threshold)) {
        auto* limit = new QLineSeries;
        limit->setName(QString("the first level's threshold %1").arg(threshold, 0, 'g', 6));
        limit->setPen(QPen(QColor(214, 39, 40), 1.5, Qt::DashLine));
        limit->append(x->min(), threshold);
        limit->append(x->max(), threshold);
        attach(chart, limit, x, y);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    layout->addWidget(view_of(chart, 400));
    return figure;
}
