#include <gtest/gtest.h>

#include <QChartView>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>
#include <cmath>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/figures/charts.hpp"
#include "app/figures/composite_chart.hpp"
#include "app/figures/figure_set.hpp"
#include "photometry/view_geometry.hpp"
#include "runs/block_facts.hpp"
#include "runs/dense_curve.hpp"
#include "runs/run_results.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace {

const std::string cli = MORVANE_CLI;
const std::string report = MORVANE_REPORT;

// Reads the run of the scratch folder and the curves of its best shape.
void best_curves(const std::string& folder, run_results& run, shape_curves& curves)
{
    std::string why;
    ASSERT_TRUE(read_run(folder, run, why)) << why;
    ASSERT_TRUE(compute_shape_curves(run, best_fits(run.rows, 1).front().shape, 0, curves, why)) << why;
}

// The series of a chart named `name`, or nullptr.
QAbstractSeries* named(QChart* chart, const QString& name)
{
    for (QAbstractSeries* s : chart->series())
        if (s->name() == name) return s;
    return nullptr;
}

TEST(BlockFacts, DatesAnglesAndPhasesAgreeWithWorkedCases)
{
    const struct {
        double jd;
        const char* utc;
    } dates[] = {
        {2451545.0, "2000-01-01 12:00 UTC"},      // J2000
        {2440587.5, "1970-01-01 00:00 UTC"},      // the Unix epoch
        {2443036.47701, "1976-09-14 23:27 UTC"},  // before the midnight of JD 2443036.5
        {2443036.6, "1976-09-15 02:24 UTC"},
        {2460310.4999, "2024-01-01 00:00 UTC"},  // rounds to the minute across midnight
        {2451604.5, "2000-03-01 00:00 UTC"},     // after a leap day
    };
    for (const auto& d : dates) EXPECT_EQ(utc_date(d.jd), d.utc) << d.jd;
    EXPECT_EQ(utc_date(std::nan("")), "no date");

    const struct {
        vec3 a, b;
        double deg;
    } angles[] = {{{1, 0, 0}, {1, 0, 0}, 0},
                  {{1, 0, 0}, {0, 2, 0}, 90},
                  {{1, 0, 0}, {-3, 0, 0}, 180},
                  {{1, 1, 0}, {1, 0, 0}, 45}};
    for (const auto& a : angles) EXPECT_NEAR(phase_angle_deg(a.a, a.b), a.deg, 1e-9);

    const struct {
        vec3 earth;
        double lambda, beta, aspect;
    } aspects[] = {
        {{0, 0, 5}, 0, 90, 90},   // pole-on
        {{0, 3, 0}, 0, 90, 0},    // equator-on
        {{-1, 0, 0}, 0, 0, -90},  // the south pole faces the earth
        {{0, 1, 1}, 90, 0, 45},   // pole along +y
    };
    for (const auto& a : aspects) EXPECT_NEAR(sub_earth_latitude_deg(a.earth, a.lambda, a.beta), a.aspect, 1e-9);

    run_inputs in;
    in.period_hours = 12.0;
    in.t0 = 2450000.0;
    in.phi0_deg = 90.0;
    const struct {
        double t, phase;
    } phases[] = {{2450000.0, 0.25}, {2450000.25, 0.75}, {2450000.125, 0.5}, {2449999.75, 0.75}, {2450010.125, 0.5}};
    for (const auto& p : phases) EXPECT_NEAR(rotation_phase(p.t, in), p.phase, 1e-9) << p.t;
}

// A chi2 fit of nine of Kleopatra's blocks: more than one figure holds, so
// one file per block and an overview, none taller than 4,000 pixels, the
// composite, all on the report page; the dense model passes through the
// model at the block's first and last points.
TEST(Figures, ManyBlocksGetAFigureEachAnOverviewAndAComposite)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run_command(cli + " --path " + data_file("kleopatra_lc.txt") + " --spin " +
                              data_file("kleopatra_spin.txt") +
                              " --blocks 0-8 --subdivisions 1 --step 0.5 --threads 2 --fit chi2",
                          out),
              0)
        << out;
    ASSERT_EQ(run_command(report + " .", out), 0) << out;
    run_results run;
    shape_curves curves;
    best_curves(".", run, curves);
    ASSERT_EQ(curves.block_count, 9);

    const QStringList blocks = fit_block_figure_files(run, curves.shape);
    ASSERT_EQ(blocks.size(), 18);
    const QString stem = QString("fit_%1_block_").arg(curves.shape, 5, 10, QChar('0'));
    EXPECT_EQ(blocks[0], stem + "00.png");
    EXPECT_EQ(blocks[17], stem + "08.svg");
    const std::string page = read_file("report/index.html");
    for (const QString& file :
         blocks + composite_figure_files(curves.shape) + shape_figure_files(curves.shape).mid(0, 2)) {
        EXPECT_TRUE(std::filesystem::exists("report/" + file.toStdString())) << file.toStdString();
        EXPECT_NE(page.find("\"" + file.toStdString() + "\""), std::string::npos) << file.toStdString();
    }
    for (const auto& entry : std::filesystem::directory_iterator("report"))
        if (entry.path().extension() == ".png") {
            const QImage image(QString::fromStdString(entry.path().string()));
            ASSERT_FALSE(image.isNull()) << entry.path();
            EXPECT_LE(image.height(), 4000) << entry.path();
        }

    for (int32_t b : {0, 8}) {
        timed_curve dense;
        std::string why;
        ASSERT_TRUE(dense_block_curve(run, curves, b, dense, why)) << why;
        const sample_span span = block_samples(*run.reference, b, curves.block_count);
        ASSERT_GE(dense.times.size(), 200u);
        EXPECT_EQ(dense.times.front(), run.reference->times[span.first]);
        EXPECT_NEAR(dense.magnitudes.front(), curves.fitted[span.first], 1e-9);
        EXPECT_NEAR(dense.times.back(), run.reference->times[span.first + span.count - 1], 1e-9);
        EXPECT_NEAR(dense.magnitudes.back(), curves.fitted[span.first + span.count - 1], 1e-6);
        // The composite moves each block by its zero point onto the model.
        EXPECT_EQ(composite_zero_point(run, curves, b), curves.fits[static_cast<std::size_t>(b)].best_shift);
    }
    // The composite: one series per block (named in a legend), phases in [0, 1).
    const std::unique_ptr<QWidget> composite(composite_figure(run, curves));
    QChart* chart = composite->findChild<QChartView*>()->chart();
    EXPECT_EQ(chart->series().size(), 10);
    for (QAbstractSeries* s : chart->series())
        for (const QPointF& p : qobject_cast<QScatterSeries*>(s)->points()) {
            EXPECT_GE(p.x(), 0.0);
            EXPECT_LT(p.x(), 1.0);
        }
    EXPECT_TRUE(chart->legend()->isVisible());
    EXPECT_TRUE(named(chart, QString("block %1").arg(run.reference->blocks[3])));
}

// A refined run's profiles draw its acceptance threshold, the same run
// without the refinement a band 10 % above the lowest misfit; either way
// every panel's y range runs from under the lowest misfit to four band
// heights above the grid's lowest, and the note explains the marks.
TEST(Figures, ProfilesDrawTheThresholdOrARelativeBandInARange)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run_command(cli + " --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.5 --threads 2 --fit chi2 --refine 1 --refine-effort 0.2",
                          out),
              0)
        << out;
    for (bool refined : {true, false}) {
        SCOPED_TRACE(refined ? "refined" : "not refined");
        if (!refined) {
            nlohmann::ordered_json m = nlohmann::ordered_json::parse(read_file("output/run.json"));
            m.erase("refinement");
            write_file("output/run.json", m.dump(2) + "\n");
        }
        run_results run;
        std::string why;
        ASSERT_TRUE(read_run(".", run, why)) << why;
        ASSERT_EQ(static_cast<bool>(run.refinement), refined);
        const profile_band band = band_of_profiles(run, misfit_profiles(run.rows));
        const double grid_lowest = best_fits(run.rows, 1).front().misfit;
        double lowest = grid_lowest;
        if (refined) {
            const uncertainty_record& u = run.refinement->uncertainty;
            lowest = std::min(lowest, u.chi2_min / u.nu);
            EXPECT_DOUBLE_EQ(band.threshold, u.threshold / u.nu);
        } else {
            EXPECT_DOUBLE_EQ(band.threshold, lowest * 1.1);
        }
        EXPECT_DOUBLE_EQ(band.lowest, lowest);
        EXPECT_DOUBLE_EQ(band.y_max, grid_lowest + 4.0 * (band.threshold - lowest));
        const std::unique_ptr<QWidget> figure(profile_figure(run, best_fits(run.rows, 1).front().shape));
        for (QChartView* view : figure->findChildren<QChartView*>()) {
            QChart* chart = view->chart();
            auto* line = qobject_cast<QLineSeries*>(named(chart, refined ? "acceptance threshold" : "relative band"));
            ASSERT_TRUE(line) << chart->title().toStdString();
            EXPECT_EQ(line->at(0).y(), band.threshold);
            const auto* y = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).front());
            EXPECT_LT(y->min(), lowest);
            EXPECT_EQ(y->max(), band.y_max);
            EXPECT_TRUE(y->titleText().contains("reduced chi2"));
        }
        const QLabel* note = figure->findChild<QLabel*>();
        ASSERT_TRUE(note);
        for (const char* says :
             {"hollow green square", "Irregular x values", refined ? "acceptance threshold" : "10 %"})
            EXPECT_TRUE(note->text().contains(says)) << says;
    }
}

}  // namespace
