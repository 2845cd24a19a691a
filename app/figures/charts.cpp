#include "app/figures/charts.hpp"

#include "app/figures/chart_parts.hpp"
#include "runs/block_facts.hpp"
#include "runs/dense_curve.hpp"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QGridLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace {

constexpr double hours_per_day = 24.0;

// The unit of the run's misfit: the range and offset fits' sums and means
// of squared magnitude differences, the chi2 fit's dimensionless chi2.
QString misfit_unit(const run_results& run)
{
    return observed_points(*run.reference) ? QString() : QString(" mag²");
}

// The first line of block b's title: which block, when, how many points and
// under which geometry.
QString block_heading(const run_results& run, const shape_curves& curves, int32_t b)
{
    const block_facts facts = facts_of_block(run, b, curves.block_count);
    const QString name = facts.block < 0 ? QString("the lightcurve") : QString("block %1").arg(facts.block);
    return QString("%1: %2, %3 points, phase angle %4°, aspect %5°")
        .arg(name)
        .arg(QString::fromStdString(utc_date(facts.jd_mid)))
        .arg(facts.points)
        .arg(facts.phase_angle_deg, 0, 'f', 1)
        .arg(facts.aspect_deg, 0, 'f', 1);
}

// The second line of block b's title: its misfit and shift, or in the chi2
// fit its chi2 and zero point.
QString block_fit_line(const run_results& run, const shape_curves& curves, int32_t b)
{
    const block_fit& fit = curves.fits[static_cast<std::size_t>(b)];
    if (observed_points(*run.reference))
        return QString("chi2 %1 over %2 points, zero point %3 mag (chi2 fit)")
            .arg(fit.misfit, 0, 'g', 6)
            .arg(block_samples(*run.reference, b, curves.block_count).count)
            .arg(fit.best_shift, 0, 'f', 4);
    return QString("misfit %1%2, best shift %3 of the block's span (%4 fit)")
        .arg(fit.misfit, 0, 'g', 6)
        .arg(misfit_unit(run))
        .arg(fit.best_shift, 0, 'f', 3)
        .arg(QString::fromStdString(run.manifest.inputs.fit));
}

// The series of one block's fit, in the order they are drawn: the reference
// samples small and beneath, the model, the observations on top.
struct block_series {
    QScatterSeries* samples = nullptr;  // resampled fits only
    QLineSeries* model = nullptr;
    QScatterSeries* observed = nullptr;
    std::vector<double> sigma;  // the observations' error bars (chi2 fit)
    QScatterSeries* residual = nullptr;
    double t_zero = 0.0;
    std::vector<double> xs, ys, rs;
};

// Fills the series of block b, times in hours after its first sample.
block_series block_series_of(const run_results& run, const shape_curves& curves, int32_t b, double marker)
{
    const ref_curve& ref = *run.reference;
    const bool points = observed_points(ref);
    const sample_span span = block_samples(ref, b, curves.block_count);
    const int32_t block = ref.blocks.empty() ? -1 : ref.blocks[static_cast<std::size_t>(b)];
    block_series s;
    s.t_zero = ref.times[span.first];
    const double t_end = ref.times[span.first + span.count - 1];
    s.observed = markers("observations", QColor(40, 40, 40), marker);
    s.model = new QLineSeries;
    s.model->setName(points ? QString("shape %1, model (zero point fitted)").arg(curves.shape)
                            : QString("shape %1, fitted").arg(curves.shape));
    s.model->setPen(QPen(QColor(214, 39, 40), 2.0));
    s.residual = markers(points ? "model - observed" : "synthetic - reference", QColor(214, 39, 40), marker);
    if (!points) {
        s.samples = markers("reference samples", QColor(31, 119, 180), marker * 0.6);
        for (int32_t i = 0; i < run.observations.count; ++i) {
            const double t = run.observations.times[static_cast<std::size_t>(i)];
            const bool ours = block < 0 || run.observations.photometry[static_cast<std::size_t>(i)].lc_number == block;
            if (!ours || t < s.t_zero || t > t_end) continue;
            const double m = run.observations.photometry[static_cast<std::size_t>(i)].magnitude;
            s.observed->append((t - s.t_zero) * hours_per_day, m);
            s.ys.push_back(m);
        }
    }
    for (std::size_t k = span.first; k < span.first + span.count; ++k) {
        const double x = (ref.times[k] - s.t_zero) * hours_per_day;
        const double r = ref.photometry[k].magnitude;
        if (points) {
            s.observed->append(x, r);
            s.sigma.push_back(ref.photometry[k].sigma);
        } else {
            s.samples->append(x, r);
        }
        s.ys.push_back(r);
        s.xs.push_back(x);
        if (std::isfinite(curves.fitted[k])) {
            if (!points) s.model->append(x, curves.fitted[k]);
            s.ys.push_back(curves.fitted[k]);
            s.residual->append(x, curves.fitted[k] - r);
            s.rs.push_back(curves.fitted[k] - r);
        }
    }
    timed_curve dense;
    std::string ignored;
    if (points && dense_block_curve(run, curves, b, dense, ignored))
        for (std::size_t i = 0; i < dense.times.size(); ++i) {
            s.model->append((dense.times[i] - s.t_zero) * hours_per_day, dense.magnitudes[i]);
            s.ys.push_back(dense.magnitudes[i]);
        }
    return s;
}

// The fit chart of a block's series: magnitude over hours, brighter up.
QChart* fit_chart(block_series& s, const QString& title, bool compact)
{
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    finite_range(s.xs, x0, x1);
    finite_range(s.ys, y0, y1);
    auto* chart = new QChart;
    chart->setTitle(title);
    auto* x_axis = value_axis(compact ? QString("h after JD %1").arg(s.t_zero, 0, 'f', 3)
                                      : QString("time, h after JD %1").arg(s.t_zero, 0, 'f', 5),
                              x0, x1, true);
    auto* y_axis = value_axis(compact ? "mag" : "magnitude (mag)", y0, y1);
    y_axis->setReverse(true);  // brighter up
    chart->addAxis(x_axis, Qt::AlignBottom);
    chart->addAxis(y_axis, Qt::AlignLeft);
    if (s.samples) attach(chart, s.samples, x_axis, y_axis);
    attach(chart, s.model, x_axis, y_axis);
    attach(chart, s.observed, x_axis, y_axis);
    if (!s.sigma.empty()) add_error_bars(chart, s.observed, s.sigma);
    if (compact) {
        chart->legend()->hide();
        x_axis->setTickCount(4);
        x_axis->setLabelFormat("%.1f");
        QFont font = chart->titleFont();
        font.setPointSizeF(font.pointSizeF() * 0.8);
        chart->setTitleFont(font);
        chart->setMargins({2, 2, 2, 2});
    } else {
        chart->legend()->setAlignment(Qt::AlignBottom);
    }
    return chart;
}

// The residual chart under a block's fit, symmetric about zero.
QChart* residual_chart(block_series& s, bool points)
{
    double x0 = 0, x1 = 0, r0 = 0, r1 = 0;
    finite_range(s.xs, x0, x1);
    finite_range(s.rs, r0, r1);
    const double r_span = std::max(std::fabs(r0), std::fabs(r1));
    auto* zero = new QLineSeries;
    zero->setPen(QPen(QColor(120, 120, 120), 1.0, Qt::DashLine));
    zero->append(x0, 0.0);
    zero->append(x1, 0.0);
    auto* below = new QChart;
    auto* rx = value_axis("time (h)", x0, x1, true);
    auto* ry = value_axis("mag", -r_span, r_span);
    ry->setLabelFormat("%.2g");
    ry->setTickCount(3);
    ry->setReverse(true);
    below->addAxis(rx, Qt::AlignBottom);
    below->addAxis(ry, Qt::AlignLeft);
    attach(below, zero, rx, ry);
    attach(below, s.residual, rx, ry);
    below->legend()->hide();
    below->setTitle(points ? "residuals: model - observed (mag)" : "residuals: synthetic - reference (mag)");
    QFont font = below->titleFont();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    below->setTitleFont(font);
    below->setMargins({4, 0, 4, 2});
    return below;
}

// The two panels of one block: the fit above, its residuals below. In the
// chi2 fit the reference is the observed points themselves, drawn with
// their sigma as error bars, and the model as a dense curve over the block.
QWidget* block_panels(const run_results& run, const shape_curves& curves, int32_t b)
{
    const bool points = observed_points(*run.reference);
    block_series s = block_series_of(run, curves, b, 5.0);
    QChart* chart = fit_chart(s, block_heading(run, curves, b) + "<br>" + block_fit_line(run, curves, b), false);
    QChart* below = residual_chart(s, points);
    auto* panel = new QWidget;
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_of(chart, 260), 2);
    layout->addWidget(view_of(below, 150), 1);
    return panel;
}

// One small panel of the overview: the block's fit without residuals.
QWidget* block_cell(const run_results& run, const shape_curves& curves, int32_t b)
{
    block_series s = block_series_of(run, curves, b, 3.0);
    const block_facts facts = facts_of_block(run, b, curves.block_count);
    const QString title = QString("block %1: %2, %3 pts, %4° phase")
                              .arg(facts.block)
                              .arg(QString::fromStdString(utc_date(facts.jd_mid)).left(10))
                              .arg(facts.points)
                              .arg(facts.phase_angle_deg, 0, 'f', 0);
    QChart* chart = fit_chart(s, title, true);
    delete s.residual;
    return view_of(chart, 180);
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

// Draws the threshold across the panel and, for a refinement, the refined
// best as a diamond.
void add_threshold_and_best(QChart* chart, const acceptance_marks& marks, const profile_band& band, QValueAxis* x,
                            QValueAxis* y)
{
    auto* line = new QLineSeries;
    line->setName(band.refined ? "acceptance threshold" : "relative band");
    line->setPen(QPen(QColor(255, 127, 14), 1.5, Qt::DashLine));
    line->append(x->min(), band.threshold);
    line->append(x->max(), band.threshold);
    attach(chart, line, x, y);
    if (!marks.shown) return;
    auto* best = markers("refined best", QColor(148, 103, 189), 13.0);
    best->setMarkerShape(QScatterSeries::MarkerShapeRotatedRectangle);
    best->append(marks.best, std::min(marks.best_misfit, y->max()));
    attach(chart, best, x, y);
}

// The x axis title of grid parameter `param`, with its unit.
QString parameter_axis_title(int param)
{
    return param == 6 ? QString("x_shift (centre distance, x_scale_1 = 1)")
                      : QString("%1 (semi-axis, x_scale_1 = 1)").arg(grid_parameter_name(param));
}

// The explanation of every mark of the profiles, the band and the nested
// parameters' values, shown under the six panels.
QString profile_notes(const run_results& run, const profile_band& band, int32_t selected, bool clipped)
{
    const QString sym = "<span style=\"color:%1\">%2</span>";
    QString html = "<b>Marks:</b> " + sym.arg("#1f77b4", "&#9679;&#8212;") +
                   " for each value of the parameter, the lowest misfit of all grid shapes having that value; " +
                   sym.arg("#d62728", "&#9679;") + " the best grid value; ";
    if (selected > 0)
        html += sym.arg("#2ca02c", "&#9633;") +
                QString(" hollow green square: the value and misfit of shape %1, the shape the fit figures show; ")
                    .arg(selected);
    html += sym.arg("#ff7f0e", "- - -") + " " + band.meaning + "; ";
    if (band.refined && band.grid_lowest > band.threshold)
        html += QString("the grid's lowest reduced chi2 (%1) lies above the threshold: no grid shape is acceptable, "
                        "only refined ones; ")
                    .arg(band.grid_lowest, 0, 'g', 6);
    if (band.refined)
        html += sym.arg("#ff7f0e", "&#9608;") + " shaded: the refinement's acceptable range of the parameter; " +
                sym.arg("#9467bd", "&#9670;") + " the refined best (off the grid; its chi2 from the refinement); ";
    if (clipped)
        html += sym.arg("#1f77b4", "&#9651;") +
                " a value whose lowest misfit lies above the shown range, drawn "
                "at the top edge (" +
                sym.arg("#2ca02c", "&#9651;") + " the selected shape's, when it lies above); ";
    html += QString("the y range runs from the lowest misfit to %1 times the band's height above the grid's lowest, "
                    "so that the band is readable; misfits in %2. ")
                .arg(profile_band_multiple)
                .arg(run.manifest.inputs.fit == "chi2" ? "reduced chi2 (no unit)" : "mag²");
    html += QString("<b>Irregular x values:</b> the grid nests its levels: z_scale_1 runs from 0.5 y_scale_1 to "
                    "y_scale_1, y_scale_2 from 0.5 x_scale_2 to x_scale_2, z_scale_2 from 0.5 y_scale_2 to "
                    "y_scale_2 and x_shift from 1 - x_scale_2 to 1 + x_scale_2, each in steps of %1 from a start "
                    "that depends on the outer values; so their profiles gather values of many starts, unevenly "
                    "spaced, and a value is covered by fewer shapes towards the ends of its range.")
                .arg(run.manifest.inputs.step);
    return html;
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

QWidget* fit_block_figure(const run_results& run, const shape_curves& curves, int32_t b, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    layout->addWidget(block_panels(run, curves, b));
    return figure;
}

int overview_columns(int32_t blocks)
{
    return std::max(4, (blocks + overview_max_rows - 1) / overview_max_rows);
}

QWidget* fit_overview_figure(const run_results& run, const shape_curves& curves, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    const bool points = observed_points(*run.reference);
    layout->addWidget(figure_note(
        QString("<b>Shape %1 against %2 blocks</b> (%3 fit, misfit %4%5): magnitude (mag, brighter up) over hours "
                "after each block's first point; observations dark, %6. Each block in full, with residuals and "
                "its geometry, in fit_%7_block_BB.")
            .arg(curves.shape)
            .arg(curves.block_count)
            .arg(QString::fromStdString(run.manifest.inputs.fit))
            .arg(curves.misfit, 0, 'g', 6)
            .arg(misfit_unit(run))
            .arg(points ? "the model red (its zero point fitted per block)"
                        : "reference samples blue, the fitted synthetic curve red")
            .arg(curves.shape, 5, 10, QChar('0'))));
    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    const int columns = overview_columns(curves.block_count);
    for (int32_t b = 0; b < curves.block_count; ++b)
        grid->addWidget(block_cell(run, curves, b), b / columns, b % columns);
    layout->addLayout(grid, 1);
    return figure;
}

profile_band band_of_profiles(const run_results& run, const std::vector<misfit_profile>& profiles)
{
    profile_band band;
    double lowest = 0.0;
    bool any = false;
    for (const misfit_profile& p : profiles)
        if (p.best >= 0) {
            const double m = p.points[static_cast<std::size_t>(p.best)].misfit;
            if (!any || m < lowest) lowest = m;
            any = true;
        }
    band.lowest = any ? lowest : 0.0;
    if (run.refinement) {
        const uncertainty_record& u = run.refinement->uncertainty;
        band.refined = true;
        band.threshold = u.threshold / u.nu;
        band.lowest = std::min(band.lowest, u.chi2_min / u.nu);
        band.meaning = QString("the refinement's acceptance threshold, reduced chi2 %1 (chi2_min (1 + sqrt(2 / nu)) / "
                               "nu, nu = %2, as in output/uncertainty.json); parameters whose profile rises above it "
                               "within the grid are constrained by the data")
                           .arg(band.threshold, 0, 'g', 6)
                           .arg(u.nu, 0, 'g', 6);
    } else {
        band.threshold = band.lowest * (1.0 + profile_relative_band);
        band.meaning = QString("%1 % above the lowest misfit (%2): a stated relative band, not a statistical "
                               "threshold; values under it fit about as well as the best")
                           .arg(profile_relative_band * 100.0, 0, 'f', 0)
                           .arg(band.threshold, 0, 'g', 6);
    }
    const double height = band.threshold > band.lowest
                              ? band.threshold - band.lowest
                              : std::max(std::fabs(band.lowest) * profile_relative_band, 1e-12);
    band.grid_lowest = any ? lowest : band.lowest;
    band.y_min = std::max(0.0, band.lowest - 0.25 * height);
    // From the grid's lowest up, so that the grid's profiles show even when
    // the refinement went well below them.
    band.y_max = band.grid_lowest + profile_band_multiple * height;
    return band;
}

QWidget* profile_figure(const run_results& run, int32_t selected, QWidget* parent)
{
    auto* figure = new QWidget(parent);
    auto* outer = new QVBoxLayout(figure);
    auto* grid = new QGridLayout;
    outer->addLayout(grid, 1);
    const std::vector<misfit_profile> profiles = misfit_profiles(run.rows);
    const profile_band band = band_of_profiles(run, profiles);
    const bool chi2 = run.manifest.inputs.fit == "chi2";
    const summary_row* chosen = nullptr;
    for (const summary_row& r : run.rows)
        if (r.shape == selected) chosen = &r;
    bool clipped_any = false;
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        const misfit_profile& profile = profiles[i];
        auto* line = new QLineSeries;
        line->setPen(QPen(QColor(31, 119, 180), 1.5));
        auto* points = markers("lowest misfit", QColor(31, 119, 180), 7.0);
        auto* above = markers("above the range", QColor(31, 119, 180), 9.0);
        above->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
        above->setColor(Qt::transparent);
        auto* best = markers("best", QColor(214, 39, 40), 12.0);
        // A hollow square around the point, visible over the best one too.
        auto* mine = markers("selected shape", QColor(44, 160, 44), 17.0);
        mine->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        mine->setColor(Qt::transparent);
        mine->setPen(QPen(QColor(44, 160, 44), 2.0));
        // The selected shape's mark at the top edge when its misfit lies above.
        auto* mine_above = markers("selected shape, above the range", QColor(44, 160, 44), 13.0);
        mine_above->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
        mine_above->setColor(Qt::transparent);
        mine_above->setPen(QPen(QColor(44, 160, 44), 2.0));
        std::vector<double> xs;
        for (const profile_point& p : profile.points) {
            line->append(p.value, p.misfit);
            if (p.misfit > band.y_max)
                above->append(p.value, band.y_max);
            else
                points->append(p.value, p.misfit);
            xs.push_back(p.value);
            if (chosen && chosen->params[profile.param] == p.value && std::isfinite(chosen->misfit)) {
                mine->append(p.value, chosen->misfit);
                if (chosen->misfit > band.y_max) mine_above->append(p.value, band.y_max);
            }
        }
        clipped_any = clipped_any || above->count() > 0 || mine_above->count() > 0;
        if (profile.best >= 0) best->append(profile.points[profile.best].value, profile.points[profile.best].misfit);
        const acceptance_marks marks = acceptance_of(run, profile.param);
        if (marks.shown) xs.insert(xs.end(), {marks.min, marks.max, marks.best});
        double x0 = 0, x1 = 0;
        finite_range(xs, x0, x1);
        auto* chart = new QChart;
        const char* name = grid_parameter_name(profile.param);
        chart->setTitle(profile.best >= 0 ? QString("%1: best %2 (shape %3)")
                                                .arg(name)
                                                .arg(profile.points[profile.best].value, 0, 'g', 4)
                                                .arg(profile.points[profile.best].shape)
                                          : QString("%1: no finite misfit").arg(name));
        auto* x_axis = value_axis(parameter_axis_title(profile.param), x0, x1);
        auto* y_axis = value_axis(chi2 ? "lowest reduced chi2" : "lowest misfit (mag²)", band.y_min, band.y_max, true);
        y_axis->setLabelFormat("%.4g");
        y_axis->setTickCount(5);
        chart->addAxis(x_axis, Qt::AlignBottom);
        chart->addAxis(y_axis, Qt::AlignLeft);
        if (marks.shown) attach(chart, acceptable_band(marks, y_axis), x_axis, y_axis);  // under the grid's points
        attach(chart, line, x_axis, y_axis);
        attach(chart, points, x_axis, y_axis);
        attach(chart, above, x_axis, y_axis);
        attach(chart, best, x_axis, y_axis);
        attach(chart, mine, x_axis, y_axis);
        attach(chart, mine_above, x_axis, y_axis);
        add_threshold_and_best(chart, marks, band, x_axis, y_axis);
        chart->legend()->hide();
        grid->addWidget(view_of(chart, 220), static_cast<int>(i) / 3, static_cast<int>(i) % 3);
    }
    outer->addWidget(figure_note(profile_notes(run, band, chosen ? selected : 0, clipped_any)));
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
