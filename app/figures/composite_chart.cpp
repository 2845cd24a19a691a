#include "app/figures/composite_chart.hpp"

#include <QChart>
#include <QLineSeries>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <cmath>
#include <string>
#include <vector>

#include "app/figures/chart_parts.hpp"
#include "runs/block_facts.hpp"
#include "runs/dense_curve.hpp"

namespace {

// Adds block b's observations, moved by `zero`, to `observed` over the
// rotation phase; their magnitudes into `ys`.
void fold_observations(const run_results& run, const shape_curves& curves, int32_t b, double zero,
                       QScatterSeries* observed, std::vector<double>& ys)
{
    const ref_curve& ref = *run.reference;
    const run_inputs& in = run.manifest.inputs;
    const sample_span span = block_samples(ref, b, curves.block_count);
    if (observed_points(ref)) {
        for (std::size_t k = span.first; k < span.first + span.count; ++k) {
            const double m = ref.photometry[k].magnitude - zero;
            observed->append(rotation_phase(ref.times[k], in), m);
            ys.push_back(m);
        }
        return;
    }
    const int32_t block = ref.blocks.empty() ? -1 : ref.blocks[static_cast<std::size_t>(b)];
    const double t0 = ref.times[span.first], t1 = ref.times[span.first + span.count - 1];
    for (int32_t i = 0; i < run.observations.count; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const double t = run.observations.times[k];
        if ((block >= 0 && run.observations.photometry[k].lc_number != block) || t < t0 || t > t1) continue;
        const double m = run.observations.photometry[k].magnitude - zero;
        observed->append(rotation_phase(t, in), m);
        ys.push_back(m);
    }
}

// Adds block b's model, moved by `zero`, to `model` over the rotation
// phase: the chi2 fit's dense curve, else the fitted synthetic samples.
void fold_model(const run_results& run, const shape_curves& curves, int32_t b, double zero, QScatterSeries* model,
                std::vector<double>& ys)
{
    const ref_curve& ref = *run.reference;
    const run_inputs& in = run.manifest.inputs;
    timed_curve dense;
    std::string ignored;
    if (observed_points(ref) && dense_block_curve(run, curves, b, dense, ignored)) {
        for (std::size_t i = 0; i < dense.times.size(); ++i) {
            model->append(rotation_phase(dense.times[i], in), dense.magnitudes[i] - zero);
            ys.push_back(dense.magnitudes[i] - zero);
        }
        return;
    }
    const sample_span span = block_samples(ref, b, curves.block_count);
    for (std::size_t k = span.first; k < span.first + span.count; ++k)
        if (std::isfinite(curves.fitted[k])) {
            model->append(rotation_phase(ref.times[k], in), curves.fitted[k] - zero);
            ys.push_back(curves.fitted[k] - zero);
        }
}

}  // namespace

double composite_zero_point(const run_results& run, const shape_curves& curves, int32_t b)
{
    if (observed_points(*run.reference)) return curves.fits[static_cast<std::size_t>(b)].best_shift;
    const sample_span span = block_samples(*run.reference, b, curves.block_count);
    double sum = 0.0;
    int32_t n = 0;
    for (std::size_t k = span.first; k < span.first + span.count; ++k)
        if (std::isfinite(curves.fitted[k])) {
            sum += curves.fitted[k];
            ++n;
        }
    return n > 0 ? sum / n : 0.0;
}

QWidget* composite_figure(const run_results& run, const shape_curves& curves, QWidget* parent)
{
    const bool points = observed_points(*run.reference);
    const bool legend = curves.block_count <= composite_legend_blocks;
    auto* chart = new QChart;
    auto* x_axis = new QValueAxis;
    x_axis->setTitleText("rotation phase (fraction of the period, from the run's epoch and initial phase)");
    x_axis->setRange(0.0, 1.0);
    x_axis->setTickCount(11);
    x_axis->setLabelFormat("%.1f");
    std::vector<QScatterSeries*> observed;
    auto* model =
        markers(points ? "model, each block's geometry" : "fitted synthetic curve, each block", QColor(0, 0, 0), 2.5);
    std::vector<double> ys;
    for (int32_t b = 0; b < curves.block_count; ++b) {
        if (!std::isfinite(curves.fits[static_cast<std::size_t>(b)].misfit)) continue;
        const double zero = composite_zero_point(run, curves, b);
        const block_facts facts = facts_of_block(run, b, curves.block_count);
        auto* series = markers(facts.block < 0 ? QString("observations") : QString("block %1").arg(facts.block),
                               series_colour(b), 5.0);
        fold_observations(run, curves, b, zero, series, ys);
        fold_model(run, curves, b, zero, model, ys);
        observed.push_back(series);
    }
    double y0 = 0, y1 = 0;
    finite_range(ys, y0, y1);
    auto* y_axis = value_axis(points ? "magnitude - block zero point (mag)" : "magnitude - block mean (mag)", y0, y1);
    y_axis->setReverse(true);  // brighter up
    chart->addAxis(x_axis, Qt::AlignBottom);
    chart->addAxis(y_axis, Qt::AlignLeft);
    for (QScatterSeries* s : observed) attach(chart, s, x_axis, y_axis);
    attach(chart, model, x_axis, y_axis);  // on top
    chart->setTitle(QString("shape %1: %2 blocks folded on the rotation phase (period %3 h), %4 fit, %5 %6%7")
                        .arg(curves.shape)
                        .arg(observed.size())
                        .arg(run.manifest.inputs.period_hours, 0, 'f', 6)
                        .arg(QString::fromStdString(run.manifest.inputs.fit))
                        .arg(points ? "reduced chi2" : "misfit")
                        .arg(curves.misfit, 0, 'g', 6)
                        .arg(points ? "" : " mag²"));
    chart->legend()->setAlignment(Qt::AlignRight);
    chart->legend()->setVisible(legend);

    auto* figure = new QWidget(parent);
    auto* layout = new QVBoxLayout(figure);
    layout->addWidget(view_of(chart, 420), 1);
    QString note = points ? "Each block's observations less its fitted zero point; the model (black) at each block's "
                            "own geometry, so it differs a little from block to block with the phase angle and aspect."
                          : "Each block's observations less the mean of its fitted synthetic curve (black), which "
                            "the fit rescaled and shifted onto the block.";
    if (!legend)
        note += QString(" %1 blocks, too many to name: coloured in their order with ten colours in turn (blue, "
                        "orange, green, red, purple, brown, pink, grey, olive, cyan), the first block blue.")
                    .arg(observed.size());
    layout->addWidget(figure_note(note));
    return figure;
}
