#include "app/report/report_page.hpp"

#include <algorithm>
#include <cmath>

#include "app/figures/charts.hpp"
#include "app/figures/figure_set.hpp"
#include "runs/block_facts.hpp"

namespace {

// One row of a two-column table.
QString record_row(const QString& name, const QString& value)
{
    return QString("<tr><th>%1</th><td>%2</td></tr>\n").arg(html_escaped(name), html_escaped(value));
}

// A number as the summary table writes it.
QString fixed(double v)
{
    return QString::asprintf("%f", v);
}

// The run's record as a table.
QString record_table(const run_results& run)
{
    const run_manifest& m = run.manifest;
    const run_inputs& in = m.inputs;
    QString rows;
    rows += record_row("observation file", QString::fromStdString(in.observation_file));
    rows += record_row("SHA-256", QString::fromStdString(in.observation_sha256));
    rows += record_row("lightcurve blocks", !in.blocks.empty() ? QString::fromStdString(in.blocks)
                                            : in.block >= 0    ? QString::number(in.block)
                                                               : QString("all, as one lightcurve"));
    rows += record_row("fit", QString::fromStdString(in.fit));
    rows += record_row("spin", QString("lambda %1°, beta %2°, P %3 h, phi0 %4°, t0 %5")
                                   .arg(in.lambda_deg, 0, 'g', 10)
                                   .arg(in.beta_deg, 0, 'g', 10)
                                   .arg(in.period_hours, 0, 'g', 12)
                                   .arg(in.phi0_deg, 0, 'g', 10)
                                   .arg(in.t0, 0, 'f', 6));
    rows += record_row(
        "grid",
        QString("step %1, %2 shapes, %3 subdivisions").arg(in.step, 0, 'g', 10).arg(m.shapes).arg(in.subdivisions));
    rows += record_row("status", QString::fromStdString(m.status) +
                                     (m.reason.empty() ? QString() : ": " + QString::fromStdString(m.reason)));
    rows += record_row("shapes finished", QString::number(m.finished_shapes));
    rows += record_row("ran", QString("%1 to %2, %3 threads, %4 path, version %5")
                                  .arg(QString::fromStdString(m.started), QString::fromStdString(m.ended))
                                  .arg(m.threads)
                                  .arg(QString::fromStdString(m.sweep_path), QString::fromStdString(m.version)));
    rows += record_row("table", QString::fromStdString(run.table_file));
    return "<table class=\"record\">\n" + rows + "</table>\n";
}

// The best-fits table.
QString best_table(const std::vector<summary_row>& best)
{
    QString html = "<table class=\"fits\">\n<tr><th>rank</th><th>shape</th>";
    for (int p = 1; p < 7; ++p) html += QString("<th>%1</th>").arg(grid_parameter_name(p));
    html += "<th>best_shift</th><th>misfit</th></tr>\n";
    int rank = 0;
    for (const summary_row& r : best) {
        html += QString("<tr><td>%1</td><td>%2</td>").arg(++rank).arg(r.shape);
        for (int p = 1; p < 7; ++p) html += "<td>" + fixed(r.params[p]) + "</td>";
        html += "<td>" + fixed(r.best_shift) + "</td><td>" + fixed(r.misfit) + "</td></tr>\n";
    }
    return html + "</table>\n";
}

// A number to six significant digits; "–" when not known.
QString general(double v)
{
    return std::isnan(v) ? QString("–") : QString::asprintf("%.6g", v);
}

// What the threshold and the sigma inflation mean, in words.
QString acceptance_words(const uncertainty_record& u)
{
    QString words = QString("<p>Models with chi2 under chi2_min (1 + sqrt(2 / nu)) = %1 are acceptable: the "
                            "acceptance threshold, at chi2_min %2 on nu = %3 degrees of freedom (reduced chi2 %4). ")
                        .arg(general(u.threshold), general(u.chi2_min), general(u.nu), general(u.threshold / u.nu));
    words += u.sigma_inflation > 1.0
                 ? QString("The best reduced chi2 is above 1, so sigma was inflated by a factor %1 (model error) "
                           "for the threshold.</p>\n")
                       .arg(general(u.sigma_inflation))
                 : QString("The best reduced chi2 is not above 1: sigma was not inflated (factor %1).</p>\n")
                       .arg(general(u.sigma_inflation));
    return words;
}

// Each refined parameter's best value and acceptable range, with the
// jackknife's spread when there is one.
QString range_table(const uncertainty_record& u)
{
    const bool jack = u.jackknife_blocks > 0;
    QString html = QString("<table class=\"fits\">\n<tr><th>parameter</th><th>best</th><th>min</th><th>max</th>%1"
                           "</tr>\n")
                       .arg(jack ? "<th>jackknife spread</th>" : "");
    for (int p = 0; p < model_param::count; ++p) {
        const accepted_range& r = u.ranges[static_cast<std::size_t>(p)];
        if (!r.listed) continue;
        const jackknife_range& j = u.jackknife[static_cast<std::size_t>(p)];
        html += QString("<tr><th>%1</th><td>%2</td><td>%3</td><td>%4</td>")
                    .arg(model_param_name(p), general(r.best), general(r.min), general(r.max));
        if (jack) html += "<td>" + (j.listed ? general(j.spread) : QString("–")) + "</td>";
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

// The refined solutions as refined.txt lists them, best first.
QString solutions_table(const refined_table& t)
{
    QString html = "<table class=\"fits\">\n<tr><th>start shape</th>";
    for (int p : t.params) html += QString("<th>%1</th>").arg(model_param_name(p));
    html += "<th>chi2</th><th>reduced chi2</th><th>rms (mag)</th><th>evaluations</th></tr>\n";
    for (const refined_row& r : t.rows) {
        html += "<tr><td>" + (r.start_shape > 0 ? QString::number(r.start_shape) : QString("global")) + "</td>";
        for (int p : t.params) html += "<td>" + general(r.x[static_cast<std::size_t>(p)]) + "</td>";
        html += QString("<td>%1</td><td>%2</td><td>%3</td><td>%4</td></tr>\n")
                    .arg(general(r.chi2), general(r.reduced_chi2), general(r.rms_mag))
                    .arg(r.evaluations);
    }
    return html + "</table>\n";
}

// The refinement's section: its best model, the acceptable set and the
// refined solutions; or why its files could not be read. Empty for a run
// without a refinement.
QString uncertainty_section(const run_results& run)
{
    if (!run.refinement && run.refinement_problem.empty()) return {};
    QString html = "<h2>Uncertainty</h2>\n";
    if (!run.refinement)
        return html + "<p class=\"note\">The refinement's files could not be read: " +
               html_escaped(QString::fromStdString(run.refinement_problem)) + "</p>\n";
    const uncertainty_record& u = run.refinement->uncertainty;
    const refined_row& best = run.refinement->refined.rows.front();
    html += QString("<p>The refined best model (from %1): reduced chi2 %2, rms %3 mag.</p>\n")
                .arg(best.start_shape > 0 ? QString("shape %1").arg(best.start_shape) : QString("the global search"),
                     general(best.reduced_chi2), general(best.rms_mag));
    html += acceptance_words(u);
    for (int p : u.at_bound)
        html += QString("<p class=\"note\">Warning: %1 is at the bound of the model space; its acceptable range may "
                        "reach beyond it.</p>\n")
                    .arg(model_param_name(p));
    html += range_table(u);
    if (u.jackknife_blocks > 0)
        html += QString("<p>The jackknife spread: the refinement repeated with each of the %1 blocks left out in "
                        "turn.</p>\n")
                    .arg(u.jackknife_blocks);
    return html + "<h3>Refined solutions</h3>\n" + solutions_table(run.refinement->refined);
}

// The misfit column's heading: what a block's misfit is in this fit.
QString block_misfit_heading(const std::string& fit)
{
    return fit == "chi2" ? QString("chi2") : QString("misfit (mag²)");
}

// Per block of shape `c`: its points, time span, phase angle and aspect at
// the block's middle, its misfit (chi2 at the observed points in a chi2
// fit) and the rms of the fitted curve about the reference, in mag.
QString block_table(const run_results& run, const shape_curves& c)
{
    const ref_curve& ref = *run.reference;
    const int32_t blocks = reference_blocks(ref);
    QString html = "<table class=\"fits\">\n<tr><th>block</th><th>points</th><th>span (h)</th><th>phase angle "
                   "(°)</th><th>aspect (°)</th><th>" +
                   block_misfit_heading(run.manifest.inputs.fit) + "</th><th>rms (mag)</th></tr>\n";
    for (int32_t b = 0; b < blocks; ++b) {
        const block_facts facts = facts_of_block(run, b, blocks);
        const sample_span span = block_samples(ref, b, blocks);
        const std::size_t end = std::min(span.first + span.count, std::min(ref.times.size(), c.fitted.size()));
        double squares = 0.0;
        for (std::size_t i = span.first; i < end; ++i) {
            const double d = c.fitted[i] - ref.photometry[i].magnitude;
            squares += d * d;
        }
        const double span_h =
            span.count > 0 ? (ref.times[span.first + span.count - 1] - ref.times[span.first]) * 24.0 : std::nan("");
        const double misfit =
            static_cast<std::size_t>(b) < c.fits.size() ? c.fits[static_cast<std::size_t>(b)].misfit : std::nan("");
        html += QString("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr>\n")
                    .arg(facts.block < 0 ? QString("all") : QString::number(facts.block))
                    .arg(facts.points)
                    .arg(span_h, 0, 'f', 2)
                    .arg(facts.phase_angle_deg, 0, 'f', 1)
                    .arg(facts.aspect_deg, 0, 'f', 1)
                    .arg(general(misfit))
                    .arg(general(end > span.first ? std::sqrt(squares / static_cast<double>(end - span.first))
                                                  : std::nan("")));
    }
    return html + "</table>\n";
}

// The load's warnings as the run recorded them; empty when there were none.
QString warnings_section(const run_manifest& m)
{
    if (m.load_warnings.empty()) return {};
    QString html = "<h2>Warnings of the load</h2>\n<ul class=\"note\">\n";
    for (const std::string& w : m.load_warnings) html += "<li>" + html_escaped(QString::fromStdString(w)) + "</li>\n";
    return html + "</ul>\n";
}

// An image that links to its SVG.
QString figure(const QString& png, const QString& svg, const QString& words)
{
    return QString("<figure><a href=\"%2\"><img src=\"%1\" alt=\"%3\"></a><figcaption>%3 (<a href=\"%2\">SVG</a>)"
                   "</figcaption></figure>\n")
        .arg(html_escaped(png), html_escaped(svg), html_escaped(words));
}

// Links to the per-block fit figures (PNG, SVG pairs), named by block.
QString block_links(const QStringList& files)
{
    QStringList links;
    for (qsizetype i = 0; i + 1 < files.size(); i += 2) {
        const QString name = files[i].section("_block_", 1).section('.', 0, 0);
        links << QString("<a href=\"%1\">block %2</a> (<a href=\"%3\">SVG</a>)")
                     .arg(html_escaped(files[i]), html_escaped(name), html_escaped(files[i + 1]));
    }
    return links.join(", ");
}

// The spin search's section: its levels, the best spin, the pole map and
// the periodogram; or why its rows could not be read. Empty for a run
// without a search.
QString spin_section(const run_results& run)
{
    const spin_search_record& r = run.manifest.spin_search;
    if (r.nside <= 0) return {};
    QString html = "<h2>The spin search</h2>\n";
    html += QString("<p>Best spin: lambda %1, beta %2, period %3 h, phi0 %4; reduced chi2 %5 (%6 spins over %7 "
                    "period(s), %8 s).</p>\n")
                .arg(r.lambda_deg, 0, 'f', 2)
                .arg(r.beta_deg, 0, 'f', 2)
                .arg(r.period_h, 0, 'f', 9)
                .arg(r.phi0_deg, 0, 'f', 2)
                .arg(general(r.reduced_chi2))
                .arg(r.spins)
                .arg(r.periods)
                .arg(r.seconds, 0, 'f', 1);
    html += "<table><tr><th>level</th><th>nside</th><th>subdivisions</th><th>spins</th><th>under the threshold</th>"
            "<th>threshold (chi2)</th><th>seconds</th></tr>\n";
    for (std::size_t i = 0; i < r.each_level.size(); ++i) {
        const spin_search_record::level& l = r.each_level[i];
        html += QString("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr>\n")
                    .arg(i + 1)
                    .arg(l.nside)
                    .arg(l.subdivisions)
                    .arg(l.spins)
                    .arg(l.under)
                    .arg(general(l.threshold))
                    .arg(l.seconds, 0, 'f', 1);
    }
    html += "</table>\n";
    if (run.spins.empty())
        return html + "<p class=\"note\">The spin search's rows could not be read: " +
               html_escaped(QString::fromStdString(run.spins_problem)) + "</p>\n";
    const QStringList files = spin_figure_files();
    html += figure(files[0], files[1],
                   "the pole map: each pole of the first level over the whole sky, coloured by its lowest chi2 over "
                   "the periods above the level's best, in units of the threshold's margin (threshold - best chi2); "
                   "the finer levels' poles dotted and the last level's pixels under its threshold outlined; the "
                   "best pole a star, its mirror (lambda + 180, the same beta, which relative photometry near the "
                   "ecliptic cannot tell apart) a hollow star");
    html += figure(files[2], files[3],
                   "the periodogram: the lowest chi2 over the first level's poles at each period, "
                   "its threshold dashed");
    return html;
}

}  // namespace

QString html_escaped(const QString& text)
{
    QString out = text;
    out.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;").replace('"', "&quot;");
    return out;
}

QString report_page(const run_results& run, const std::vector<summary_row>& best,
                    const std::vector<reported_shape>& shapes, const QStringList& notes, const QString& manifest_json)
{
    QString html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html += "<title>Morvane run: " + html_escaped(QString::fromStdString(run.manifest.inputs.observation_file)) +
            "</title>\n";
    html += "<style>body{font-family:sans-serif;margin:2em;max-width:1500px}table{border-collapse:collapse}"
            "td,th{border:1px solid #ccc;padding:2px 8px;text-align:right}.record th,.record td{text-align:left}"
            "img{max-width:100%;border:1px solid #ddd}.note{color:#a00}</style>\n</head>\n<body>\n";
    html +=
        "<h1>Morvane run of " + html_escaped(QString::fromStdString(run.manifest.inputs.observation_file)) + "</h1>\n";
    for (const QString& note : notes) html += "<p class=\"note\">" + html_escaped(note) + "</p>\n";
    html += "<h2>The run</h2>\n" + record_table(run);
    html += warnings_section(run.manifest);
    html += "<details><summary>the manifest as recorded</summary><pre>" + html_escaped(manifest_json) +
            "</pre></details>\n";
    html += QString("<h2>The best fits</h2>\n<p>Lowest misfit first (%1 of %2 shapes). The misfit is the %3 fit's: "
                    "%4.</p>\n")
                .arg(best.size())
                .arg(run.rows.size())
                .arg(QString::fromStdString(run.manifest.inputs.fit))
                .arg(run.manifest.inputs.fit == "offset"
                         ? "the mean squared magnitude difference after the best constant offset (mag²)"
                     : run.manifest.inputs.fit == "chi2"
                         ? "the reduced chi2 at the observed points, each block with its own zero point"
                         : "the sum of squared differences after rescaling onto the reference's range (mag²)");
    html += best_table(best);
    html += spin_section(run);
    html += uncertainty_section(run);
    const QStringList profiles = profile_figure_files();
    html += "<h2>Misfit profiles</h2>\n" +
            figure(profiles[0], profiles[1],
                   run.refinement ? "for each value of each grid parameter, the lowest misfit of all shapes; the "
                                    "acceptance threshold dashed, each parameter's acceptable range shaded and the "
                                    "refined best as a diamond"
                                  : "for each value of each grid parameter, the lowest misfit of all shapes");
    for (const reported_shape& s : shapes) {
        const shape_curves& c = s.curves;
        const QStringList files = shape_figure_files(c.shape);
        html += QString("<h2>Shape %1</h2>\n<p>y_scale_1 %2, z_scale_1 %3, x_scale_2 %4, y_scale_2 %5, z_scale_2 %6, "
                        "x_shift %7; misfit %8 (the table: %9). <a href=\"shape_%10.obj\">OBJ</a></p>\n")
                    .arg(c.shape)
                    .arg(c.params[1])
                    .arg(c.params[2])
                    .arg(c.params[3])
                    .arg(c.params[4])
                    .arg(c.params[5])
                    .arg(c.params[6])
                    .arg(c.misfit, 0, 'g', 8)
                    .arg(std::isnan(s.table_misfit) ? QString("no row") : fixed(s.table_misfit))
                    .arg(c.shape, 5, 10, QChar('0'));
        const QStringList blocks = fit_block_figure_files(run, c.shape);
        if (blocks.isEmpty())
            html += figure(files[0], files[1],
                           run.manifest.inputs.fit == "chi2"
                               ? "the fit, a panel per block: the observed points with their sigma and the model "
                                 "over the block's time, residuals below"
                               : "the fit, a panel per block: observations, reference samples and the fitted "
                                 "synthetic curve, residuals below");
        else
            html += figure(files[0], files[1], "the fit: every block in a small panel (each in full below)") +
                    "<p>Each block with its residuals: " + block_links(blocks) + "</p>\n";
        const QStringList composite = composite_figure_files(c.shape);
        html += figure(composite[0], composite[1],
                       "every block folded on the rotation phase, each moved by its zero point, the model on top");
        html += QString("<p>Per block: the observations' points and span, the phase angle and the aspect (the "
                        "sub-earth latitude for the run's pole) at the block's middle, the block's %1 and the rms "
                        "of the fitted curve about the %2.</p>\n")
                    .arg(run.manifest.inputs.fit == "chi2" ? "chi2" : "misfit")
                    .arg(observed_points(*run.reference) ? "observed points" : "reference samples");
        html += block_table(run, c);
        html += figure(files[2], files[3], "the shape seen from the earth, and along its three axes");
        html += figure(files[4], files[5], "the shape's lightcurve over one rotation");
    }
    return html + "</body>\n</html>\n";
}
