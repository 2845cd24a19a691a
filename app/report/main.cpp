// morvane-report: figures and an HTML page of a run folder, computed from
// the folder's files alone and drawn without a display.

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QDir>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/figures/figure_file.hpp"
#include "app/figures/figure_set.hpp"
#include "app/report/report_page.hpp"
#include "common/input_file.hpp"
#include "common/program_entry.hpp"
#include "runs/run_manifest.hpp"
#include "sweep/shape_export.hpp"

namespace {

// Exit codes, as the command line's.
constexpr int exit_complete = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;

// How many rows the best-fits table shows.
constexpr std::size_t best_rows = 20;

// The table's misfit for a shape, NaN when it has no row.
double table_misfit(const run_results& run, int32_t shape)
{
    for (const summary_row& r : run.rows)
        if (r.shape == shape) return r.misfit;
    return std::nan("");
}

// Whether a recomputed misfit agrees with the table's, which holds it to
// six decimals.
bool agrees(double recomputed, double table)
{
    if (std::isnan(recomputed) || std::isnan(table)) return std::isnan(recomputed) == std::isnan(table);
    return std::fabs(recomputed - table) <= 5.1e-7 + 1e-9 * std::fabs(table);
}

// Writes `text` to `path` whole or not at all, never through a link; false
// with `why`.
bool write_text(const QString& path, const QString& text, QString& why)
{
    return save_bytes(path, text.toUtf8(), why);
}

// The whole report; returns the exit code.
int run_report(const std::string& folder, std::vector<int> wanted, std::string out, int sample, double diameter_km)
{
    run_results run;
    std::string why;
    if (!read_run(folder, run, why)) {
        std::fprintf(stderr, "morvane-report: %s\n", why.c_str());
        return exit_refused;
    }
    // Said, and reported without them: the rest of the run stands.
    if (!run.refinement_problem.empty())
        std::fprintf(stderr, "morvane-report: the refinement's files could not be read: %s\n",
                     run.refinement_problem.c_str());
    if (!run.spins_problem.empty())
        std::fprintf(stderr, "morvane-report: the spin search's rows could not be read: %s\n",
                     run.spins_problem.c_str());
    // The options against the run, before anything is written.
    const std::size_t samples = run.reference->times.size();
    if (sample < 1 || static_cast<std::size_t>(sample) > samples) {
        std::fprintf(stderr,
                     "morvane-report: --sample %d: the run has %zu reference samples, numbered from 1 to %zu "
                     "(output/samples.txt lists them in order)\n",
                     sample, samples, samples);
        return exit_refused;
    }
    for (int s : wanted) {
        double params[param::count];
        if (!shape_parameters(run.manifest.inputs.step, s, params)) {
            std::fprintf(stderr, "morvane-report: --shape %d: the run's grid has shapes 1 to %lld\n", s,
                         static_cast<long long>(run.manifest.shapes));
            return exit_refused;
        }
    }
    if (out.empty()) out = folder + "/report";
    if (!QDir().mkpath(QString::fromStdString(out))) {
        std::fprintf(stderr, "morvane-report: cannot create the folder %s\n", out.c_str());
        return exit_failed;
    }
    const std::vector<summary_row> best = best_fits(run.rows, best_rows);
    std::vector<int> shapes;
    if (!best.empty() && std::isfinite(best.front().misfit)) shapes.push_back(best.front().shape);
    std::set<int> seen(shapes.begin(), shapes.end());
    for (int s : wanted)
        if (seen.insert(s).second) shapes.push_back(s);
    if (shapes.empty()) shapes.push_back(best.front().shape);

    const QString dir = QString::fromStdString(out);
    QString failure;
    QStringList notes;
    std::vector<reported_shape> reported;
    for (int shape : shapes) {
        reported_shape r{{}, table_misfit(run, shape)};
        if (!compute_shape_curves(run, shape, sample - 1, r.curves, why)) {
            std::fprintf(stderr, "morvane-report: %s\n", why.c_str());
            return exit_refused;
        }
        if (!std::isnan(r.table_misfit) && !agrees(r.curves.misfit, r.table_misfit)) {
            notes << QString("shape %1: the recomputed misfit %2 differs from the table's %3; the folder's files do "
                             "not belong to one run")
                         .arg(shape)
                         .arg(r.curves.misfit, 0, 'g', 8)
                         .arg(r.table_misfit, 0, 'f', 6);
            std::fprintf(stderr, "morvane-report: %s\n", notes.back().toUtf8().constData());
        }
        if (diameter_km > 0.0) {
            // The size from the volume of the lobes' union, as the export scales it.
            export_mesh sized;
            shape_export_options how;
            how.diameter_km = diameter_km;
            if (!build_export_mesh(*run.base, r.curves.params, how, sized, why)) {
                std::fprintf(stderr, "morvane-report: --diameter-km: %s\n", why.c_str());
                return exit_refused;
            }
            r.curves.km_per_unit = sized.scale;
        }
        if (!write_shape_figures(run, r.curves, dir, failure)) break;
        char name[64];
        std::snprintf(name, sizeof name, "/shape_%05d.obj", shape);
        if (!write_shape_obj(*run.base, r.curves.params, out + name, why)) {
            failure = QString::fromStdString(why);
            break;
        }
        std::printf("shape %d: misfit %.6g, figures written\n", shape, r.curves.misfit);
        reported.push_back(std::move(r));
    }
    if (failure.isEmpty()) write_profile_figure(run, shapes.front(), dir, failure);
    if (failure.isEmpty() && !run.spins.empty()) write_spin_figures(run, dir, failure);
    if (failure.isEmpty()) {
        std::string text, ignored;
        // Read as every file is: a FIFO or a device there is not waited on.
        const QString json = read_regular_file(folder + "/" + manifest_file, text, ignored)
                                 ? QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                                 : QString();
        write_text(dir + "/index.html", report_page(run, best, reported, notes, json), failure);
    }
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "morvane-report: %s\n", failure.toUtf8().constData());
        return exit_failed;
    }
    std::printf("report written to %s/index.html\n", out.c_str());
    return exit_complete;
}

// Keeps Qt's remarks about the offscreen platform off the terminal; its
// errors still reach stderr.
void quiet_qt(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "morvane-report: %s\n", text.toUtf8().constData());
}

// Parses the options and writes the report; the exit code.
int report_main(int argc, char** argv)
{
    CLI::App cli{"morvane-report: the figures of a run folder (the fit, the misfit profiles, the shape and its "
                 "rotation lightcurve) as PNG and SVG, with an index.html. Reads only the folder's files "
                 "(output/run.json, output/main.txt, output/samples.txt; a refined chi2 run's output/uncertainty.json "
                 "and output/refined.txt), so a run computed elsewhere can be "
                 "reported here; needs no display."};
    std::string folder = ".";
    std::vector<int> shapes;
    std::string out;
    int sample = 1;
    cli.add_option("RUN_DIR", folder, "the working folder of a sweep (holding output/)")->type_name("FOLDER");
    cli.add_option("--shape", shapes, "also report shape N (repeatable; the best shape is always reported)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    cli.add_option("--output", out, "where to write the report (default RUN_DIR/report)")->type_name("FOLDER");
    cli.add_option("--sample", sample,
                   "the reference sample whose geometry the shape views use, counted from 1 in the order of "
                   "output/samples.txt: 1 to 150 for one block, then 151 to 300 for a joint fit's second block and "
                   "so on (morvane-cli's --block counts the file's blocks from 0)")
        ->type_name("K")
        ->check(CLI::PositiveNumber);
    double diameter_km = 0.0;
    cli.add_option("--diameter-km", diameter_km,
                   "the body's volume-equivalent diameter in km: the shape views' scale bar then reads in km (the "
                   "volume taken from the union of the lobes, as morvane-cli export --diameter-km does)")
        ->type_name("D")
        ->check(CLI::PositiveNumber);
    cli.set_version_flag("--version", std::string("morvane-report ") + program_version());
    CLI11_PARSE(cli, argc, argv);

    // Drawn off screen, whatever the session has.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet_qt);
    QApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    return run_report(folder, shapes, out, sample, diameter_km);
}

}  // namespace

int main(int argc, char** argv)
{
    // The entry of the program's thread: out of memory, or any other
    // exception, anywhere below ends the report here with exit code 1 and
    // its text, every file written so far whole.
    return guarded_entry("morvane-report", [&] { return report_main(argc, argv); });
}
