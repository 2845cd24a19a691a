#include "app/figures/charts.hpp"

#include "app/figures/chart_parts.hpp"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QGridLayout>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace {

constexpr double hours_per_day = 24.0;

// The chart's title for block b: its misfit and shift, or in the chi2 fit
// its chi2, points and zero point.
QString block_title(const run_results& run, const shape_curves& curves, int32_t b, int32_t block, std::size_t n)
{
    const block_fit& fit = curves.fits[static_cast<std::size_t>(b)];
    const QString name = block < 0 ? QString("the lightcurve") : QString("block %1").arg(block);
    if (observed_points(*run.reference))
        return QString("%1: chi2 %2 over %3 points, zero point %4 (chi2 fit)")
            .arg(name)
            .arg(fit.misfit, 0, 'g', 6)
            .arg(n)
            .arg(fit.best_shift, 0, 'f', 4);
    return QString("%1: misfit %2, best shift %3 (%4 fit)")
        .arg(name)
        .arg(fit.misfit, 0, 'g', 6)
        .arg(fit.best_shift, 0, 'f', 6)
        .arg(QString::fromStdString(run.manifest.inputs.fit));
}

// The two panels of one block: the fit above, its residuals below. In the
// chi2 fit the reference is the observed points themselves, drawn as the
// observations, with the model at their times.
QWidget* block_panels(const run_results& run, const shape_curves& curves, int32_t b)
{
    const ref_curve& ref = *run.reference;
    const bool points = observed_points(ref);
    const std::size_t n = points ? static_cast<std::size_t>(ref.block_starts[b + 1] - ref.block_starts[b])
                                 : ref.times.size() / static_cast<std::size_t>(curves.block_count);
    const std::size_t first = points ? static_cast<std::size_t>(ref.block_starts[b]) : static_cast<std::size_t>(b) * n;
    const double t_zero = ref.times[first];
    const int32_t block = ref.blocks.empty() ? -1 : ref.blocks[static_cast<std::size_t>(b)];

    auto* observed = markers("observations", QColor(150, 150, 150), 5.0);
    auto* samples = markers(points ? "observations" : "reference samples", QColor(31, 119, 180), 6.0);
    auto* synthetic = new QLineSeries;
    synthetic->setName(QString("shape %1, fitted").arg(curves.shape));
    synthetic->setPen(QPen(QColor(214, 39, 40), 2.0));
    auto* residual = markers("synthetic - reference", QColor(214, 39, 40), 5.0);
    auto* zero = new QLineSeries;
    zero->setPen(QPen(QColor(120, 120, 120), 1.0, Qt::DashLine));

    std::vector<double> xs, ys, rs;
    const double t_end = ref.times[first + n - 1];
    for (int32_t i = 0; i < run.observations.count && !points; ++i) {
        const double t = run.observations.times[static_cast<std::size_t>(i)];
        const bool ours = block < 0 || run.observations.photometry[static_cast<std::size_t>(i)].lc_number == block;
        if (!ours || t < t_zero || t > t_end) continue;
        const double m = run.observations.photometry[static_cast<std::size_t>(i)].magnitude;
        observed->append((t - t_zero) * hours_per_day, m);
        ys.push_back(m);
    }
    for (std::size_t k = first; k < first + n; ++k) {
        const double x = (ref.times[k] - t_zero) * hours_per_day;
        const double r = ref.photometry[k].magnitude;
        samples->append(x, r);
        ys.push_back(r);
        xs.push_back(x);
        if (std::isfinite(curves.fitted[k])) {
            synthetic->append(x, curves.fitted[k]);
            ys.push_back(curves.fitted[k]);
            residual->append(x, curves.fitted[k] - r);
            rs.push_back(curves.fitted[k] - r);
        }
    }
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0, r0 = 0, r1 = 0;
    finite_range(xs, x0, x1);
    finite_range(ys, y0, y1);
    finite_range(rs, r0, r1);
    const double r_span = std::max(std::fabs(r0), std::fabs(r1));
    zero->append(x0, 0.0);
    zero->append(x1, 0.0);

    auto* chart = new QChart;
    chart->setTitle(block_title(run, curves, b, block, n));
    auto* x_axis = value_axis(QString("hours after JD %1").arg(t_zero, 0, 'f', 5), x0, x1, true);
    auto* y_axis = value_axis("magnitude", y0, y1);
    y_axis->setReverse(true);  // brighter up
    chart->addAxis(x_axis, Qt::AlignBottom);
    chart->addAxis(y_axis, Qt::AlignLeft);
    attach(chart, observed, x_axis, y_axis);
    attach(chart, samples, x_axis, y_axis);
    attach(chart, synthetic, x_axis, y_axis);
    chart->legend()->setAlignment(Qt::AlignBottom);

    auto* below = new QChart;
    auto* rx = value_axis("hours", x0, x1, true);
    auto* ry = value_axis("residual", -r_span, r_span);
    ry->setLabelFormat("%.2g");
    ry->setTickCount(3);
    ry->setReverse(true);
    below->addAxis(rx, Qt::AlignBottom);
    below->addAxis(ry, Qt::AlignLeft);
    attach(below, zero, rx, ry);
    attach(below, residual, rx, ry);
    below->legend()->hide();

    auto* panel = new QWidget;
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_of(chart, 260), 2);
    layout->addWidget(view_of(below, 170), 1);
    return panel;
}

// What a refined chi2 run adds to one parameter's misfit profile, in the
// profile's units (the reduced chi2).
struct acceptance_marks {
    bool shown = false;
    double threshold = 0.0;  // the acceptance threshold's reduced chi2
    double min = 0.0;        // the acceptable range
    double max = 0.0;
    double best = 0.0;         // the refined best
    double best_misfit = 0.0;  // and its reduced chi2
};

// The marks of grid parameter `param` (1 .. 6) of the run's refinement;
// not shown without one, or when it lists no range of the parameter.
acceptance_marks acceptance_of(const run_results& run, int param)
{
    acceptance_marks marks;
    if (!run.refinement) return marks;
    const uncertainty_record& u = run.refinement->uncertainty;
    const accepted_range& range = u.ranges[static_cast<std::size_t>(param - 1)];  // the shape's order, y_scale_1 first
    if (!range.listed) return marks;
    marks = {true, u.threshold / u.nu, range.min, range.max, range.best, u.chi2_min / u.nu};
    return marks;
}

// The acceptable range as a band over the panel's height.
QAreaSeries* acceptable_band(const acceptance_marks& marks, const QValueAxis* y)
{
    auto* band = new QAreaSeries(new QLineSeries, new QLineSeries);
    for (double v : {marks.min, marks.max}) {
        band->lowerSeries()->append(v, y->min());
        band->upperSeries()->append(v, y->max());
    }
    band->upperSeries()->setParent(band);
    band->lowerSeries()->setParent(band);
    band->setName("acceptable range");
    band->setColor(QColor(255, 127, 14, 50));
    band->setBorderColor(QColor(255, 127, 14, 140));
    return band;
}

// Draws the acceptance threshold across the panel and the refined best as
// a diamond, and names them and the band in a legend of their own.
void add_threshold_and_best(QChart* chart, const acceptance_marks& marks, QValueAxis* x, QValueAxis* y)
{
    auto* threshold = new QLineSeries;
    threshold->setName("acceptance threshold");
    threshold->setPen(QPen(QColor(255, 127, 14), 1.5, Qt::DashLine));
    threshold->append(x->min(), marks.threshold);
    threshold->append(x->max(), marks.threshold);
    attach(chart, threshold, x, y);
    auto* best = markers("refined best", QColor(148, 103, 189), 13.0);
    best->setMarkerShape(QScatterSeries::MarkerShapeRotatedRectangle);
    best->append(marks.best, marks.best_misfit);
    attach(chart, best, x, y);
    for (QLegendMarker* m : chart->legend()->markers()) {
        const QString name = m->series()->name();
        m->setVisible(name == "acceptable range" || name == threshold->name() || name == best->name());
    }
    // Small enough that the three names fit a panel's width.
    QFont font = chart->legend()->font();
    font.setPointSizeF(font.pointSizeF() * 0.8);
    chart->legend()->setFont(font);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->legend()->show();
}

}  // namespace

const char* grid_parameter_name(int param)
{
    static const char* names[] = {"x_scale_1", "y_scale_1", "z_scale_1", "x_scale_2",
                                  "y_scale_2", "z_scale_2", "x_shift"};
    return names[std::clamp(param, 0, 6)];
}

QWidget* fit_figure(const run_results& run, const shape_curves& curves, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* grid = new QGridLayout(figure);
    const int columns = curves.block_count > 2 ? 2 : 1;
    for (int32_t b = 0; b < curves.block_count; ++b)
        grid->addWidget(block_panels(run, curves, b), b / columns, b % columns);
    return figure;
}

QWidget* profile_figure(const run_results& run, int32_t selected, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* grid = new QGridLayout(figure);
    const std::vector<misfit_profile> profiles = misfit_profiles(run.rows);
    const summary_row* chosen = nullptr;
    for (const summary_row& r : run.rows)
        if (r.shape == selected) chosen = &r;
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        const misfit_profile& profile = profiles[i];
        auto* line = new QLineSeries;
        line->setPen(QPen(QColor(31, 119, 180), 1.5));
        auto* points = markers("lowest misfit", QColor(31, 119, 180), 7.0);
        auto* best = markers("best", QColor(214, 39, 40), 12.0);
        // A hollow square around the point, visible over the best one too.
        auto* mine = markers("selected shape", QColor(44, 160, 44), 17.0);
        mine->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        mine->setColor(Qt::transparent);
        mine->setPen(QPen(QColor(44, 160, 44), 2.0));
        std::vector<double> xs, ys;
        for (const profile_point& p : profile.points) {
            line->append(p.value, p.misfit);
            points->append(p.value, p.misfit);
            xs.push_back(p.value);
            ys.push_back(p.misfit);
            if (chosen && chosen->params[profile.param] == p.value && std::isfinite(chosen->misfit))
                mine->append(p.value, chosen->misfit);
        }
        if (profile.best >= 0) best->append(profile.points[profile.best].value, profile.points[profile.best].misfit);
        const acceptance_marks marks = acceptance_of(run, profile.param);
        if (marks.shown) {
            xs.insert(xs.end(), {marks.min, marks.max, marks.best});
            ys.insert(ys.end(), {marks.best_misfit, marks.threshold});
        }
        double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        finite_range(xs, x0, x1);
        finite_range(ys, y0, y1);
        auto* chart = new QChart;
        const char* name = grid_parameter_name(profile.param);
        chart->setTitle(profile.best >= 0 ? QString("%1: best %2 (shape %3)")
                                                .arg(name)
                                                .arg(profile.points[profile.best].value, 0, 'g', 4)
                                                .arg(profile.points[profile.best].shape)
                                          : QString("%1: no finite misfit").arg(name));
        auto* x_axis = value_axis(name, x0, x1);
        auto* y_axis = value_axis("lowest misfit", y0, y1);
        chart->addAxis(x_axis, Qt::AlignBottom);
        chart->addAxis(y_axis, Qt::AlignLeft);
        if (marks.shown) attach(chart, acceptable_band(marks, y_axis), x_axis, y_axis);  // under the grid's points
        attach(chart, line, x_axis, y_axis);
        attach(chart, points, x_axis, y_axis);
        attach(chart, best, x_axis, y_axis);
        attach(chart, mine, x_axis, y_axis);
        chart->legend()->hide();
        if (marks.shown) add_threshold_and_best(chart, marks, x_axis, y_axis);
        grid->addWidget(view_of(chart, 220), static_cast<int>(i) / 3, static_cast<int>(i) % 3);
    }
    return figure;
}

QWidget* rotation_figure(const run_results& run, const shape_curves& curves, QWidget* parent)
{
    const ref_curve& ref = *run.reference;
    const std::size_t k = static_cast<std::size_t>(curves.view_sample);
    const vec3 e = ref.earth[k], s = ref.sun[k];
    const double dot = e.x * s.x + e.y * s.y + e.z * s.z;
    const double lengths = std::sqrt(e.x * e.x + e.y * e.y + e.z * e.z) * std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
    const double phase = std::acos(std::clamp(dot / lengths, -1.0, 1.0)) * 180.0 / M_PI;

    auto* line = new QLineSeries;
    line->setName(QString("shape %1").arg(curves.shape));
    line->setPen(QPen(QColor(214, 39, 40), 2.0));
    std::vector<double> ys;
    for (std::size_t i = 0; i < curves.rotation_deg.size(); ++i)
        if (std::isfinite(curves.rotation_mag[i])) {
            line->append(curves.rotation_deg[i], curves.rotation_mag[i]);
            ys.push_back(curves.rotation_mag[i]);
        }
    double y0 = 0, y1 = 0;
    finite_range(ys, y0, y1);
    auto* chart = new QChart;
    chart->setTitle(QString("shape %1 over one rotation at sample %2 (JD %3, phase angle %4°): amplitude %5 mag")
                        .arg(curves.shape)
                        .arg(curves.view_sample + 1)
                        .arg(ref.times[k], 0, 'f', 5)
                        .arg(phase, 0, 'f', 1)
                        .arg(y1 - y0, 0, 'f', 3));
    auto* x_axis = new QValueAxis;
    x_axis->setTitleText("rotation after the sample (degrees)");
    x_axis->setRange(0, 360);
    x_axis->setTickCount(9);
    x_axis->setLabelFormat("%.0f");
    auto* y_axis = value_axis("magnitude (model units)", y0, y1);
    y_axis->setReverse(true);
    chart->addAxis(x_axis, Qt::AlignBottom);
    chart->addAxis(y_axis, Qt::AlignLeft);
    attach(chart, line, x_axis, y_axis);
    chart->legend()->hide();
    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    layout->addWidget(view_of(chart, 300));
    return figure;
}
