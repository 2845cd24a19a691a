#include <gtest/gtest.h>

#include <QAreaSeries>
#include <QChartView>
#include <QColor>
#include <QImage>
#include <QLineSeries>
#include <QRegularExpression>
#include <QScatterSeries>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/figures/charts.hpp"
#include "app/figures/figure_file.hpp"
#include "app/figures/figure_set.hpp"
#include "app/figures/spin_charts.hpp"
#include "runs/run_results.hpp"
#include "support/pipeline.hpp"
#include "support/planted.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace {

const std::string cli = MORVANE_CLI;
constexpr std::size_t npos = std::string::npos;
const std::string report = MORVANE_REPORT;

// A finished joint fit of three blocks in the scratch folder.
void joint_run()
{
    std::string out;
    ASSERT_EQ(run_command(cli + " --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.5 --threads 2 --fit offset --blocks all",
                          out),
              0)
        << out;
}

// A chi2 run refined from its best grid row, in `folder` of the scratch folder.
void refined_run(const std::string& folder = ".")
{
    std::string out;
    std::filesystem::create_directories(folder);
    ASSERT_EQ(run_command(cli + " -C " + folder + " --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.5 --threads 2 --fit chi2 --refine 1 --refine-effort 0.2",
                          out),
              0)
        << out;
}

// The run's manifest in `folder` without its record of a refinement, as a
// run that left an earlier run's refinement files behind has it.
void forget_refinement(const std::string& folder)
{
    nlohmann::ordered_json manifest = nlohmann::ordered_json::parse(read_file(folder + "/output/run.json"));
    ASSERT_EQ(manifest.erase("refinement"), 1u);
    write_file(folder + "/output/run.json", manifest.dump(2) + "\n");
}

// Whether an image has a pixel near `colour`.
int pixels_near(const QImage& image, QColor colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c(image.pixel(x, y));
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                    std::abs(c.blue() - colour.blue()) <
                30)
                ++count;
        }
    return count;
}

TEST(Report, ListsOnlyFilesItWroteAndAgreesWithTheTable)
{
    scratch_dir dir;
    joint_run();
    std::string out;
    ASSERT_EQ(run_command(report + " . --shape 3", out), 0) << out;
    EXPECT_NE(out.find("report written to ./report/index.html"), std::string::npos) << out;
    // The recomputed misfits agree with the table: no note about it.
    EXPECT_EQ(out.find("differs"), std::string::npos) << out;

    const std::string page = read_file("report/index.html");
    std::set<std::string> named;
    const QRegularExpression link("(src|href)=\"([^\"]+)\"");
    for (auto it = link.globalMatch(QString::fromStdString(page)); it.hasNext();)
        named.insert(it.next().captured(2).toStdString());
    ASSERT_GE(named.size(), 2u * 7u);  // per shape: 3 figures in 2 forms and the OBJ; and the profiles
    for (const std::string& name : named) {
        const std::filesystem::path file = std::filesystem::path("report") / name;
        ASSERT_TRUE(std::filesystem::exists(file)) << name;
        EXPECT_GT(std::filesystem::file_size(file), 100u) << name;
        if (file.extension() == ".png") {
            EXPECT_FALSE(QImage(QString::fromStdString(file.string())).isNull()) << name;
        }
        if (file.extension() == ".svg") {
            EXPECT_NE(read_file(file).find("<svg"), std::string::npos) << name;
        }
    }
    EXPECT_TRUE(named.count("fit_00003.png"));
    EXPECT_TRUE(named.count("shape_00003.obj"));
    EXPECT_NE(page.find("twin_three_geometries.zel"), std::string::npos);
    EXPECT_NE(page.find("offset"), std::string::npos);
}

TEST(Report, DrawsAChi2RunsObservedPointsAndModel)
{
    // Three blocks of 100 points: the fit figure has one panel per block,
    // the observations dark and the model in red, and the recomputed
    // reduced chi2 agrees with the table.
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run_command(cli + " --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.5 --threads 2 --fit chi2 --sigma 0.01",
                          out),
              0)
        << out;
    ASSERT_EQ(run_command(report + " . --shape 3 --sample 250", out), 0) << out;
    EXPECT_EQ(out.find("differs"), std::string::npos) << out;
    const QImage fit(QString::fromStdString("report/fit_00003.png"));
    ASSERT_FALSE(fit.isNull());
    EXPECT_GT(pixels_near(fit, QColor(40, 40, 40)), 2000);  // the observed points, on top
    EXPECT_GT(pixels_near(fit, QColor(214, 39, 40)), 300);  // the model and its residuals
    EXPECT_NE(read_file("report/index.html").find("chi2"), std::string::npos);
    // Not refined: no uncertainty, no threshold.
    EXPECT_EQ(read_file("report/index.html").find("Uncertainty"), std::string::npos);
    EXPECT_EQ(read_file("report/profiles.svg").find("acceptance threshold"), std::string::npos);
    EXPECT_EQ(run_command(report + " . --sample 301", out), 2) << out;
}

TEST(Report, RefusesAFolderWithoutARun)
{
    scratch_dir dir;
    std::string out;
    EXPECT_EQ(run_command(report + " .", out), 2) << out;
    EXPECT_NE(out.find("output/run.json"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists("report"));
}

// A link at a name the report writes is refused, never written through (the
// file it leads to keeps its bytes), and so is a FIFO or a device; the
// report says which file, and the rest of the report is written whole.
TEST(Report, NeverWritesThroughALinkOrIntoASpecialFile)
{
    scratch_dir dir;
    joint_run();
    std::string out;
    ASSERT_EQ(run_command(report + " . --output first", out), 0) << out;
    std::string fit;
    for (const auto& entry : std::filesystem::directory_iterator("first"))
        if (entry.path().filename().string().rfind("fit_", 0) == 0) fit = entry.path().stem().string();
    ASSERT_FALSE(fit.empty());
    const struct {
        std::string name;
        planted what;
        const char* reason;
    } cases[] = {
        {"index.html", planted::link_to_file, "index.html: a symbolic link (never written through)"},
        {fit + ".png", planted::link_to_file, ".png: a symbolic link (never written through)"},
        {"profiles.svg", planted::link_to_file, "profiles.svg: a symbolic link (never written through)"},
        {"index.html", planted::dangling_link, "index.html: a symbolic link (never written through)"},
        {"index.html", planted::fifo, "index.html: not a regular file"},
        {"profiles.png", planted::device, "profiles.png: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + ", " + planted_name(c.what));
        std::filesystem::remove_all("rep");
        std::filesystem::create_directory("rep");
        write_file("outside.txt", "outside\n");
        if (!plant(c.what, "rep/" + c.name,
                   std::filesystem::absolute(c.what == planted::link_to_file ? "outside.txt" : "target")))
            continue;
        const std::string kind = file_kind("rep/" + c.name);
        EXPECT_EQ(run_command("timeout 120 " + report + " . --output rep", out), 1) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
        EXPECT_EQ(file_kind("rep/" + c.name), kind);
        EXPECT_FALSE(std::filesystem::exists("target") && file_kind("target") == "regular");
        std::filesystem::remove("target");
    }
}

TEST(Report, NotesAMisfitThatTheFolderDoesNotExplain)
{
    scratch_dir dir;
    joint_run();
    // Shape 1's row altered, as a table from another run would be.
    std::string table = read_file("output/main.txt");
    const std::size_t end = table.find('\n');
    const std::size_t last = table.rfind(' ', end);
    table.replace(last + 1, end - last - 1, "9.999999");
    write_file("output/main.txt", table);
    std::string out;
    ASSERT_EQ(run_command(report + " . --shape 1", out), 0) << out;
    EXPECT_NE(out.find("shape 1: the recomputed misfit"), std::string::npos) << out;
    EXPECT_NE(read_file("report/index.html").find("do not belong to one run"), std::string::npos);
}

// `path` with its first `from` replaced by `to` (the test fails when there is none).
void replace_in(const std::filesystem::path& path, const std::string& from, const std::string& to)
{
    std::string text = read_file(path);
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << path << ": " << from;
    text.replace(at, from.size(), to);
    write_file(path, text);
}

// A file of a run folder replaced by an empty folder of its name.
void folder_instead_of(const std::filesystem::path& path)
{
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
}

TEST(Report, RefusesAHostileFolderOrAnOptionTheRunLacksBeforeWritingAnything)
{
    scratch_dir dir;
    std::string out;
    std::filesystem::create_directory("run");
    ASSERT_EQ(run_command(cli + " -C run --path " + data_file("test.zel") + " --subdivisions 1 --step 0.5", out), 0)
        << out;
    struct hostile {
        const char* name;
        std::function<void()> make_hostile;  // in the copied folder
        const char* options;
        const char* reason;  // part of the refusal ("" for a report that is written)
    };
    const hostile cases[] = {
        {"the last sample", [] {}, "--sample 150", ""},
        {"a sample past the run's", [] {}, "--sample 151", "--sample 151: the run has 150 reference samples"},
        {"a sample far past the run's", [] {}, "--sample 99999999",
         "--sample 99999999: the run has 150 reference samples, numbered from 1 to 150"},
        {"a shape past the grid", [] {}, "--shape 13", "--shape 13: the run's grid has shapes 1 to 12"},
        {"the manifest is a folder", [] { folder_instead_of("output/run.json"); }, "",
         "output/run.json: not a regular file"},
        {"an unknown fit", [] { replace_in("output/run.json", "\"fit\": \"range\"", "\"fit\": \"bogus\""); }, "",
         "inputs.fit \"bogus\" is not range, offset or chi2"},
        {"a grid of 3e8 shapes", [] { replace_in("output/run.json", "\"shapes\": 12", "\"shapes\": 300000000"); }, "",
         "the grid of step 0.5 has 12 shapes"},
        {"a stray table line", [] { write_file("output/main.txt", read_file("output/main.txt") + "5 oops\n"); }, "",
         "output/main.txt:13: not a row of the summary table of 12 shapes"},
        {"a table out of order",
         [] {
             const std::vector<std::string> lines = read_lines("output/main.txt");
             write_file("output/main.txt", lines[1] + "\n" + lines[0] + "\n");
         },
         "", "output/main.txt:2: shape 1 after shape 2"},
        {"a sample missing",
         [] {
             const std::string text = read_file("output/samples.txt");
             const std::size_t first = text.find("\nsample ");
             write_file("output/samples.txt", text.substr(0, first) + text.substr(text.find('\n', first + 1)));
         },
         "", "149 samples, not runs of 150"},
        {"the samples are a folder", [] { folder_instead_of("output/samples.txt"); }, "",
         "output/samples.txt: not a regular file"},
    };
    for (const hostile& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all("case");
        std::filesystem::copy("run", "case", std::filesystem::copy_options::recursive);
        std::filesystem::current_path("case");
        c.make_hostile();
        std::filesystem::current_path("..");
        const int code = run_command(report + " case " + c.options, out);
        if (*c.reason == '\0') {
            EXPECT_EQ(code, 0) << out;
            EXPECT_TRUE(std::filesystem::exists("case/report/index.html"));
            continue;
        }
        EXPECT_EQ(code, 2) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_EQ(out.find("terminate"), std::string::npos) << out;
        EXPECT_FALSE(std::filesystem::exists("case/report"));
    }
}

TEST(Figures, FitHasOnePanelPairPerBlockAndShowsTheCurves)
{
    scratch_dir dir;
    joint_run();
    run_results run;
    std::string why;
    ASSERT_TRUE(read_run(".", run, why)) << why;
    const summary_row best = best_fits(run.rows, 1).front();
    shape_curves curves;
    ASSERT_TRUE(compute_shape_curves(run, best.shape, 0, curves, why)) << why;
    EXPECT_EQ(curves.block_count, 3);
    EXPECT_NEAR(curves.misfit, best.misfit, 5.1e-7);

    const std::unique_ptr<QWidget> fit(fit_figure(run, curves));
    EXPECT_EQ(fit->findChildren<QChartView*>().size(), 6);
    const QImage image = figure_image(fit.get(), {1500, 1200});
    EXPECT_GT(pixels_near(image, QColor(214, 39, 40)), 500);   // synthetic curves and residuals
    EXPECT_GT(pixels_near(image, QColor(31, 119, 180)), 100);  // reference samples, small and beneath
    // The observations are drawn last, on top of the samples and the curve.
    int fits = 0;
    for (QChartView* view : fit->findChildren<QChartView*>())
        if (view->chart()->series().size() == 3) {
            ++fits;
            EXPECT_EQ(view->chart()->series().first()->name(), "reference samples");
            EXPECT_EQ(view->chart()->series().last()->name(), "observations");
        }
    EXPECT_EQ(fits, 3);

    const std::unique_ptr<QWidget> profiles(profile_figure(run, best.shape));
    EXPECT_EQ(profiles->findChildren<QChartView*>().size(), 6);
    const std::unique_ptr<QWidget> rotation(rotation_figure(run, curves));
    EXPECT_GT(pixels_near(figure_image(rotation.get(), {800, 400}), QColor(214, 39, 40)), 300);
    // The rotation curve closes on itself after one turn.
    EXPECT_NEAR(curves.rotation_mag.front(), curves.rotation_mag.back(), 1e-9);
}

// The refinement's section: its numbers as the files hold them, each
// parameter's range and the solutions; a file that cannot be read is said
// on the page and on stderr (escaped), and the rest is written all the same.
TEST(Report, ShowsARefinedRunsUncertaintyOrWhyItCannot)
{
    scratch_dir dir;
    refined_run("run");
    const nlohmann::json u = nlohmann::json::parse(read_file("run/output/uncertainty.json"));
    const std::vector<std::string> refined = read_lines("run/output/refined.txt");
    const struct {
        const char* name;
        std::function<void()> change;  // in the copied folder
        const char* says;              // "" for the section with the values, else on the page and stderr
    } cases[] = {
        {"as written", [] {}, ""},
        {"a cut uncertainty.json",
         [] {
             const std::string text = read_file("case/output/uncertainty.json");
             write_file("case/output/uncertainty.json", text.substr(0, text.size() / 2));
         },
         "output/uncertainty.json is not a refinement's uncertainty record"},
        {"markup in refined.txt",
         [] {
             // Markup before the last field of the first solution.
             std::string text = read_file("case/output/refined.txt");
             const std::size_t end = text.find('\n', text.find('\n') + 1);
             text.insert(text.rfind(' ', end) + 1, "<b>");
             write_file("case/output/refined.txt", text);
         },
         "output/refined.txt:2: field 12 &quot;&lt;b&gt;"},
        {"no refinement recorded", [] { forget_refinement("case"); }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all("case");
        std::filesystem::copy("run", "case", std::filesystem::copy_options::recursive);
        c.change();
        std::string out;
        ASSERT_EQ(run_command(report + " case", out), 0) << out;
        const std::string page = read_file("case/report/index.html");
        EXPECT_NE(page.find("<h2>Shape"), std::string::npos);  // the rest of the report
        EXPECT_EQ(page.find("<b>"), std::string::npos);
        if (!c.says) {
            EXPECT_EQ(page.find("Uncertainty"), std::string::npos);
            continue;
        }
        ASSERT_NE(page.find("<h2>Uncertainty</h2>"), std::string::npos);
        if (*c.says) {
            EXPECT_NE(page.find("could not be read: case/" + std::string(c.says)), std::string::npos) << page;
            EXPECT_NE(out.find("the refinement's files could not be read: case/output/"), std::string::npos) << out;
            EXPECT_EQ(read_file("case/report/profiles.svg").find("acceptance threshold"), std::string::npos);
            continue;
        }
        const auto general = [](double v) { return QString::asprintf("%.6g", v).toStdString(); };
        const std::string section = page.substr(page.find("<h2>Uncertainty</h2>"));
        for (const char* key : {"threshold", "nu", "sigma_inflation"})
            EXPECT_NE(section.find(general(u[key].get<double>())), std::string::npos) << key;
        for (const auto& [name, range] : u["parameters"].items())
            EXPECT_NE(section.find("<tr><th>" + name + "</th><td>" + general(range["best"].get<double>()) +
                                   "</td><td>" + general(range["min"].get<double>()) + "</td><td>" +
                                   general(range["max"].get<double>()) + "</td><td>" +
                                   general(u["jackknife"][name]["spread"].get<double>()) + "</td></tr>"),
                      std::string::npos)
                << name;
        for (const auto& name : u["at_bound"])
            EXPECT_NE(section.find("Warning: " + name.get<std::string>() + " is at the bound"), std::string::npos);
        // The best line's reduced chi2 and rms, and one table row per solution.
        std::istringstream best(refined[1]);
        std::vector<std::string> fields{std::istream_iterator<std::string>(best), {}};
        EXPECT_NE(section.find("reduced chi2 " + general(std::stod(fields[9])) + ", rms " +
                               general(std::stod(fields[10])) + " mag"),
                  std::string::npos);
        std::size_t rows = 0;
        const std::size_t table = section.find("Refined solutions"), end = section.find("</table>", table);
        for (std::size_t at = table; (at = section.find("<tr><td>", at + 1)) < end;) ++rows;
        EXPECT_EQ(rows, refined.size() - 1);
        EXPECT_NE(read_file("case/report/profiles.svg").find("acceptance threshold"), std::string::npos);
    }
}

// The series of a chart named `name`, or nullptr.
QAbstractSeries* series_named(QChart* chart, const QString& name)
{
    for (QAbstractSeries* s : chart->series())
        if (s->name() == name) return s;
    return nullptr;
}

// Each profile of a refined run shows the threshold at threshold / nu (the
// profile's reduced chi2), its parameter's acceptable range and the refined
// best; the same files without the manifest's record of them show nothing.
TEST(Figures, ProfilesMarkTheAcceptableSetOfARefinedRun)
{
    scratch_dir dir;
    refined_run();
    run_results run;
    std::string why;
    ASSERT_TRUE(read_run(".", run, why)) << why;
    ASSERT_TRUE(run.refinement) << run.refinement_problem;
    const uncertainty_record& u = run.refinement->uncertainty;
    const std::unique_ptr<QWidget> profiles(profile_figure(run, 0));
    const QList<QChartView*> views = profiles->findChildren<QChartView*>();
    ASSERT_EQ(views.size(), 6);
    for (int i = 0; i < 6; ++i) {
        QChart* chart = views[i]->chart();
        const accepted_range& range = u.ranges[i];  // the panels in the shape's order
        SCOPED_TRACE(chart->title().toStdString());
        ASSERT_TRUE(chart->title().startsWith(model_param_name(i)));
        auto* threshold = qobject_cast<QLineSeries*>(series_named(chart, "acceptance threshold"));
        auto* band = qobject_cast<QAreaSeries*>(series_named(chart, "acceptable range"));
        auto* best = qobject_cast<QScatterSeries*>(series_named(chart, "refined best"));
        ASSERT_TRUE(threshold && band && best);
        for (const QPointF& p : threshold->points()) EXPECT_DOUBLE_EQ(p.y(), u.threshold / u.nu);
        ASSERT_EQ(band->lowerSeries()->count(), 2);
        EXPECT_EQ(band->lowerSeries()->at(0).x(), range.min);
        EXPECT_EQ(band->lowerSeries()->at(1).x(), range.max);
        ASSERT_EQ(best->count(), 1);
        EXPECT_EQ(best->at(0), QPointF(range.best, u.chi2_min / u.nu));
    }

    forget_refinement(".");
    ASSERT_TRUE(read_run(".", run, why)) << why;
    EXPECT_FALSE(run.refinement);
    EXPECT_EQ(run.refinement_problem, "");
    const std::unique_ptr<QWidget> plain(profile_figure(run, 0));
    for (QChartView* view : plain->findChildren<QChartView*>())
        for (const char* name : {"acceptance threshold", "acceptable range", "refined best"})
            EXPECT_FALSE(series_named(view->chart(), name)) << name;
}

}  // namespace

// A spin search's report: the section with its levels, the pole map with
// every pole where the projection puts it, and the periodogram; a cut
// spins.txt is said, and the rest of the report stands.
TEST(Report, ShowsASpinSearchsPoleMapAndPeriodogram)
{
    scratch_dir dir;
    std::string out;
    std::filesystem::create_directories("run");
    ASSERT_EQ(run_command(cli + " -C run --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.9 --threads 2 --fit chi2 --pole-nside 1 --pole-levels 1 "
                              "--scan-subdivisions 1 --periods 7.4:7.6:0.1 --refine 1 --refine-effort 0.05",
                          out),
              0)
        << out;
    run_results run;
    std::string why;
    ASSERT_TRUE(read_run("run", run, why)) << why;
    ASSERT_EQ(run.spins.size(), 36u);  // 12 poles x 3 periods
    ASSERT_EQ(run.searched.size(), 36u);
    // Every pole lands inside the map's ellipse, the best pole at its place.
    for (const spin_row& r : run.spins) {
        const QPointF p = hammer_aitoff(r.lambda_deg, r.beta_deg);
        EXPECT_LE(p.x() * p.x() / 8.0 + p.y() * p.y() / 2.0, 1.0 + 1e-12) << r.lambda_deg << " " << r.beta_deg;
    }
    EXPECT_NEAR(hammer_aitoff(180.0, 0.0).x(), 0.0, 1e-12);
    EXPECT_NEAR(hammer_aitoff(180.0, 90.0).y(), std::sqrt(2.0), 1e-12);
    EXPECT_LT(hammer_aitoff(90.0, 0.0).x(), 0.0);  // lambda grows to the right
    const std::unique_ptr<QWidget> map(pole_map_figure(run));
    std::size_t placed = 0;
    bool star = false;
    for (QChartView* view : map->findChildren<QChartView*>())
        for (QAbstractSeries* s : view->chart()->series())
            if (auto* points = qobject_cast<QScatterSeries*>(s)) {
                if (points->markerShape() == QScatterSeries::MarkerShapeStar) {
                    star = star ||
                           points->at(0) == hammer_aitoff(run.spins.front().lambda_deg, run.spins.front().beta_deg);
                } else {
                    placed += static_cast<std::size_t>(points->count());
                }
            }
    EXPECT_EQ(placed, 12u);  // each pole once, at its lowest chi2 over the periods
    EXPECT_TRUE(star);
    const std::unique_ptr<QWidget> periods(periodogram_figure(run));
    bool three = false;
    for (QChartView* view : periods->findChildren<QChartView*>())
        for (QAbstractSeries* s : view->chart()->series())
            if (auto* points = qobject_cast<QScatterSeries*>(s)) three = points->count() == 3;
    EXPECT_TRUE(three);

    ASSERT_EQ(run_command(report + " run", out), 0) << out;
    const std::string page = read_file("run/report/index.html");
    EXPECT_NE(page.find("<h2>The spin search</h2>"), std::string::npos);
    for (const QString& f : spin_figure_files())
        EXPECT_GT(std::filesystem::file_size("run/report/" + f.toStdString()), 1000u) << f.toStdString();
    write_file("run/output/spins.txt", read_file("run/output/spins.txt") + "1 2 3\n");  // a cut row
    ASSERT_EQ(run_command(report + " run", out), 0) << out;
    EXPECT_NE(out.find("the spin search's rows could not be read"), std::string::npos) << out;
    EXPECT_NE(read_file("run/report/index.html").find("<h2>Shape"), std::string::npos);
}

TEST(Report, TablesEachBlockAndShowsTheWarningsOfTheLoad)
{
    scratch_dir dir;
    std::string out;
    // At a 3 h period each 21.9 h block spans 7.3 rotations: the load warns.
    ASSERT_EQ(run_command(cli + " --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.9 --threads 2 --fit offset --blocks all --period 3",
                          out),
              0)
        << out;
    const std::string manifest = read_file("output/run.json");
    EXPECT_NE(manifest.find("\"load_warnings\""), npos) << manifest;
    ASSERT_EQ(run_command(report + " .", out), 0) << out;
    std::string page = read_file("report/index.html");
    EXPECT_NE(page.find("<h2>Warnings of the load</h2>"), npos);
    EXPECT_NE(page.find("<li>lightcurve 2 spans 7.30 rotation periods: the cyclic fit assumes about one</li>"), npos);
    // One row per block: its number, its 100 points, a span in hours, the
    // angles and a finite misfit and rms.
    const QRegularExpression row("<tr><td>([0-9]+)</td><td>100</td><td>([0-9.]+)</td><td>(-?[0-9.]+)</td>"
                                 "<td>(-?[0-9.]+)</td><td>([0-9.e-]+)</td><td>([0-9.e-]+)</td></tr>");
    std::set<int> blocks;
    for (auto it = row.globalMatch(QString::fromStdString(page)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        blocks.insert(m.captured(1).toInt());
        EXPECT_GT(m.captured(2).toDouble(), 1.0) << m.captured(0).toStdString();
        EXPECT_LE(m.captured(3).toDouble(), 180.0);
        EXPECT_LE(std::abs(m.captured(4).toDouble()), 90.0);
        EXPECT_GT(m.captured(6).toDouble(), 0.0);
    }
    EXPECT_EQ(blocks, (std::set<int>{0, 1, 2})) << page;

    // A recorded warning is text: markup in it is escaped, and a run
    // without warnings has no such section.
    replace_in("output/run.json", "lightcurve 0 spans", "<b>lightcurve</b> 0 spans");
    ASSERT_EQ(run_command(report + " .", out), 0) << out;
    page = read_file("report/index.html");
    EXPECT_NE(page.find("<li>&lt;b&gt;lightcurve&lt;/b&gt; 0 spans"), npos);
    replace_in("output/run.json", "\"load_warnings\"", "\"unknown_member\"");
    ASSERT_EQ(run_command(report + " .", out), 0) << out;
    EXPECT_EQ(read_file("report/index.html").find("Warnings of the load"), npos);
}

TEST(Report, TheShapeViewsScaleBarReadsInKmWithTheDiameter)
{
    scratch_dir dir;
    joint_run();
    std::string out;
    ASSERT_EQ(run_command(report + " . --output plain", out), 0) << out;
    ASSERT_EQ(run_command(report + " . --output sized --diameter-km 120", out), 0) << out;
    // The best shape's view, and its row of the table.
    std::string name;
    for (const auto& entry : std::filesystem::directory_iterator("plain"))
        if (entry.path().filename().string().rfind("shape_", 0) == 0 && entry.path().extension() == ".svg")
            name = entry.path().filename().string();
    ASSERT_FALSE(name.empty());
    const std::string plain = read_file("plain/" + name), sized = read_file("sized/" + name);
    EXPECT_NE(plain.find("1 lobe-1 radius"), npos);
    EXPECT_EQ(plain.find(" km"), npos);
    // The bar's length in km is the export's scale for the same diameter:
    // both take the volume of the lobes' union.
    std::string out_export;
    ASSERT_EQ(run_command(cli + " export --shape " + std::to_string(std::stoi(name.substr(6, 5))) +
                              " --diameter-km 120 --output sized.obj",
                          out_export),
              0)
        << out_export;
    const QRegularExpression scale("scaled by ([0-9.e+-]+) to a volume-equivalent diameter of 120 km");
    const QRegularExpressionMatch exported = scale.match(QString::fromStdString(out_export));
    ASSERT_TRUE(exported.hasMatch()) << out_export;
    const QRegularExpression bar("1 lobe-1 radius = ([0-9.e+-]+) km");
    const QRegularExpressionMatch m = bar.match(QString::fromStdString(sized));
    ASSERT_TRUE(m.hasMatch());
    EXPECT_NEAR(m.captured(1).toDouble(), exported.captured(1).toDouble(), 5e-4 * exported.captured(1).toDouble());
    // A diameter that is not positive is refused before anything is written.
    EXPECT_NE(run_command(report + " . --output bad --diameter-km 0", out), 0) << out;
    EXPECT_FALSE(std::filesystem::exists("bad"));
}
