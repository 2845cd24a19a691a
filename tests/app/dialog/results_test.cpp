#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QXYSeries>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog/main_dialog.hpp"
#include "app/dialog/results_window.hpp"
#include "app/figures/figure_set.hpp"
#include "app/figures/shape_picture.hpp"
#include "common/control_ids.hpp"
#include "mesh/lobe_union.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/app_state.hpp"

namespace fs = std::filesystem;

namespace {

// The table's column as the user reads it, top row first.
std::vector<double> column_values(const results_window& w, int column)
{
    std::vector<double> values;
    const QAbstractItemModel* model = w.table()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        values.push_back(model->index(row, column).data().toString().toDouble());
    return values;
}

std::vector<int> shapes_in_table(const results_window& w)
{
    std::vector<int> shapes;
    for (double s : column_values(w, results_column::shape)) shapes.push_back(static_cast<int>(s));
    return shapes;
}

// The shapes of `rows`, in order.
std::vector<int> shapes_of(const std::vector<summary_row>& rows)
{
    std::vector<int> shapes;
    for (const summary_row& r : rows) shapes.push_back(r.shape);
    return shapes;
}

// A mouse click on the middle of a column's heading.
void click_heading(const results_window& w, int column)
{
    QHeaderView* header = w.table()->horizontalHeader();
    const QPoint middle(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
}

// A mouse click on a row of the table.
void click_row(const results_window& w, int row)
{
    const QModelIndex index = w.table()->model()->index(row, results_column::misfit);
    w.table()->scrollTo(index);
    QTest::mouseClick(w.table()->viewport(), Qt::LeftButton, {}, w.table()->visualRect(index).center());
}

std::vector<QChart*> charts_of(const QWidget* figure)
{
    std::vector<QChart*> charts;
    if (figure)
        for (QChartView* view : figure->findChildren<QChartView*>()) charts.push_back(view->chart());
    return charts;
}

// The names of every series of a figure's charts.
QStringList series_names(const QWidget* figure)
{
    QStringList names;
    for (QChart* chart : charts_of(figure))
        for (QAbstractSeries* series : chart->series()) names << series->name();
    return names;
}

// The misfit the run's table gives shape `shape` (NaN when absent).
double table_misfit(const results_window& w, int shape)
{
    for (const summary_row& r : w.run().rows)
        if (r.shape == shape) return r.misfit;
    return std::nan("");
}

// The lines of a text file that begin with `prefix`.
int lines_starting(const fs::path& path, const std::string& prefix)
{
    int count = 0;
    for (const std::string& line : read_lines(path)) count += line.rfind(prefix, 0) == 0;
    return count;
}

// A shown dialog in a scratch folder, which runs sweeps on the shipped test
// file the way a user would.
class ResultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dialog = std::make_unique<main_dialog>(app);
        dialog->show();
        fs::copy_file(data_file("test.zel"), "test.zel");
    }

    void TearDown() override
    {
        if (app.sweep_running.load()) {
            app.cancel.store(1);
            EXPECT_TRUE(QTest::qWaitFor([this] { return !app.sweep_running.load(); }, 120000));
        }
        dialog.reset();
    }

    QLineEdit* edit(int id) { return qobject_cast<QLineEdit*>(dialog->control(id)); }
    void click(int id) { QTest::mouseClick(qobject_cast<QAbstractButton*>(dialog->control(id)), Qt::LeftButton); }

    // Geosphere of `n` subdivisions, "GO!", and a sweep of `step` to its end.
    void run_sweep(int n, const char* step)
    {
        edit(ctl::subdivisions)->setText(QString::number(n));
        click(ctl::generate_geosphere);
        click(ctl::load_lightcurve);
        edit(ctl::step_size)->setText(step);
        click(ctl::generate_shapes);
        ASSERT_TRUE(app.sweep_running.load()) << "the sweep did not start";
        ASSERT_TRUE(QTest::qWaitFor([this] { return !app.sweep_running.load(); }, 60000));
    }

    // The results window once the dialog has noticed the sweep's end by itself.
    results_window* shown_results()
    {
        const bool opened =
            QTest::qWaitFor([this] { return dialog->results() && dialog->results()->isVisible(); }, 5000);
        EXPECT_TRUE(opened) << "no results window after the sweep";
        return opened ? dialog->results() : nullptr;
    }

    scratch_dir dir;  // first made, last gone: the dialog and the sweep work inside it
    app_state app;
    std::unique_ptr<main_dialog> dialog;
};

// Answers every file dialog while it lives: types `file` as the file name
// and accepts, or cancels when `file` is empty.
struct file_answer {
    explicit file_answer(const QString& file)
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, file] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!box) return;
            ++answers;
            if (file.isEmpty()) {
                box->reject();
                return;
            }
            // Typed rather than selected: the dialog's list fills in the background.
            auto* name = box->findChild<QLineEdit*>("fileNameEdit");
            if (name) name->setText(file);
            static_cast<QDialog*>(box)->accept();  // as its Open button does
        });
        timer.start();
    }
    QTimer timer;
    int answers = 0;
};

}  // namespace

TEST_F(ResultsTest, AFinishedSweepOpensItsBestFitsWithTheBestShapeDrawn)
{
    run_sweep(1, "0.5");
    results_window* w = shown_results();
    ASSERT_NE(w, nullptr);
    // A window of its own beside the dialog, which stays usable.
    EXPECT_TRUE(w->isWindow());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(dialog->isVisible());

    // Every shape of the run, lowest misfit first.
    ASSERT_EQ(w->run().rows.size(), 12u);
    EXPECT_EQ(shapes_in_table(*w), shapes_of(best_fits(w->run().rows, 12)));
    const std::vector<double> misfits = column_values(*w, results_column::misfit);
    EXPECT_TRUE(std::is_sorted(misfits.begin(), misfits.end()));
    QStringList headings;
    for (int c = 0; c < results_column::count; ++c)
        headings << w->table()->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headings, QStringList({"shape", "y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2", "z_scale_2",
                                     "x_shift", "best_shift", "misfit"}));
    EXPECT_TRUE(w->count_label()->text().startsWith("12 shapes")) << w->count_label()->text().toStdString();
    EXPECT_FALSE(w->count_label()->text().contains("lowest misfit"));
    EXPECT_FALSE(w->uncertainty_label()->isVisible());  // not a refined run

    // The best shape is selected, its row current, and its figures drawn.
    const int best = best_fits(w->run().rows, 1).front().shape;
    EXPECT_EQ(w->selected_shape(), best);
    EXPECT_EQ(w->curves().shape, best);
    EXPECT_EQ(w->table()->currentIndex().row(), 0);
    QStringList tabs;
    for (int t = 0; t < w->tabs()->count(); ++t) tabs << w->tabs()->tabText(t);
    EXPECT_EQ(tabs, QStringList({"Fit", "Misfit profiles", "Shape", "Rotation", "Composite"}));
    EXPECT_TRUE(series_names(w->figure(results_tab::fit)).contains(QString("shape %1, fitted").arg(best)));
    EXPECT_EQ(charts_of(w->figure(results_tab::profiles)).size(), 6u);
    EXPECT_NE(dynamic_cast<shape_picture*>(w->figure(results_tab::shape)), nullptr);
    ASSERT_EQ(charts_of(w->figure(results_tab::rotation)).size(), 1u);
    EXPECT_TRUE(charts_of(w->figure(results_tab::rotation))[0]->title().startsWith(QString("shape %1 ").arg(best)));
    ASSERT_EQ(charts_of(w->figure(results_tab::composite)).size(), 1u);
    EXPECT_TRUE(charts_of(w->figure(results_tab::composite))[0]->title().startsWith(QString("shape %1: ").arg(best)));
    EXPECT_TRUE(w->export_obj_button()->isEnabled());
    EXPECT_TRUE(w->export_figures_button()->isEnabled());
}

TEST_F(ResultsTest, HeadingsSortByNumberAndKeepTheSelection)
{
    run_sweep(1, "0.5");
    results_window* w = shown_results();
    ASSERT_NE(w, nullptr);
    const int selected = w->selected_shape();

    // Shapes 1 .. 12: as text "10" would come before "2".
    click_heading(*w, results_column::shape);
    std::vector<int> expected(12);
    for (int i = 0; i < 12; ++i) expected[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_EQ(shapes_in_table(*w), expected);
    click_heading(*w, results_column::shape);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(shapes_in_table(*w), expected);

    click_heading(*w, results_column::first_param + 5);  // x_shift
    std::vector<double> shifts = column_values(*w, results_column::first_param + 5);
    EXPECT_TRUE(std::is_sorted(shifts.begin(), shifts.end()));
    EXPECT_LT(shifts.front(), shifts.back());
    click_heading(*w, results_column::misfit);
    const std::vector<double> misfits = column_values(*w, results_column::misfit);
    EXPECT_TRUE(std::is_sorted(misfits.begin(), misfits.end()));

    // Sorting moves rows, not the selection.
    EXPECT_EQ(w->selected_shape(), selected);
    EXPECT_EQ(shapes_in_table(*w)[static_cast<std::size_t>(w->table()->currentIndex().row())], selected);
}

TEST_F(ResultsTest, ClickingARowDrawsThatShape)
{
    run_sweep(1, "0.5");
    results_window* w = shown_results();
    ASSERT_NE(w, nullptr);
    const int best = w->selected_shape();

    click_row(*w, 4);
    const int chosen = shapes_in_table(*w)[4];
    ASSERT_NE(chosen, best);
    EXPECT_EQ(w->selected_shape(), chosen);
    EXPECT_EQ(w->curves().shape, chosen);
    for (int p = 1; p <= 6; ++p)
        EXPECT_NEAR(w->curves().params[p], column_values(*w, results_column::first_param + p - 1)[4], 5e-5) << p;

    const QStringList fit_series = series_names(w->figure(results_tab::fit));
    EXPECT_TRUE(fit_series.contains(QString("shape %1, fitted").arg(chosen)));
    EXPECT_FALSE(fit_series.contains(QString("shape %1, fitted").arg(best)));
    EXPECT_TRUE(charts_of(w->figure(results_tab::rotation))[0]->title().startsWith(QString("shape %1 ").arg(chosen)));
    // Each misfit profile marks the chosen shape once, at its own misfit.
    const std::vector<QChart*> profiles = charts_of(w->figure(results_tab::profiles));
    ASSERT_EQ(profiles.size(), 6u);
    for (QChart* chart : profiles) {
        const QXYSeries* marked = nullptr;
        for (QAbstractSeries* series : chart->series())
            if (series->name() == "selected shape") marked = qobject_cast<QXYSeries*>(series);
        ASSERT_NE(marked, nullptr) << chart->title().toStdString();
        ASSERT_EQ(marked->count(), 1) << chart->title().toStdString();
        EXPECT_EQ(marked->at(0).y(), table_misfit(*w, chosen)) << chart->title().toStdString();
    }

    // The keyboard moves the selection as well.
    w->table()->setFocus();
    QTest::keyClick(w->table(), Qt::Key_Down);
    EXPECT_EQ(w->selected_shape(), shapes_in_table(*w)[5]);

    // Selecting by number marks the shape's row.
    ASSERT_TRUE(w->select_shape(best));
    EXPECT_EQ(shapes_in_table(*w)[static_cast<std::size_t>(w->table()->currentIndex().row())], best);
    EXPECT_FALSE(w->select_shape(13));  // the grid of step 0.5 holds 12
    EXPECT_EQ(w->selected_shape(), best);
    EXPECT_FALSE(w->status_label()->text().isEmpty());
}

TEST_F(ResultsTest, ExportsWriteTheSelectedShape)
{
    // Each finished sweep refreshes the window: two geospheres, one window.
    for (int n : {1, 2}) {
        run_sweep(n, n == 1 ? "0.5" : "1");
        results_window* w = shown_results();
        ASSERT_NE(w, nullptr) << n;
        EXPECT_EQ(w->run().manifest.inputs.subdivisions, n);
        const std::string name = "shape_n" + std::to_string(n) + ".obj";
        QString why;
        ASSERT_TRUE(w->export_obj(QString::fromStdString(name), why)) << why.toStdString();
        const int welded = 10 * (1 << (2 * n)) + 2;  // 10 * 4^n + 2 per lobe
        EXPECT_EQ(lines_starting(name, "v "), 2 * welded) << n;
        EXPECT_EQ(lines_starting(name, "f "), 2 * 20 * (1 << (2 * n))) << n;
    }
    EXPECT_EQ(dialog->findChildren<results_window*>().size(), 1u);

    // Another shape, another file.
    results_window* w = dialog->results();
    run_sweep(1, "0.5");
    ASSERT_EQ(shown_results(), w);
    QString why;
    ASSERT_TRUE(w->export_obj("best.obj", why)) << why.toStdString();
    ASSERT_TRUE(w->select_shape(shapes_in_table(*w)[3]));
    ASSERT_TRUE(w->export_obj("other.obj", why)) << why.toStdString();
    EXPECT_EQ(lines_starting("other.obj", "v "), 84);
    EXPECT_NE(read_file("best.obj"), read_file("other.obj"));
    EXPECT_EQ(results_window::obj_file_name(w->selected_shape()),
              QString("shape_%1.obj").arg(w->selected_shape(), 5, 10, QChar('0')));

    fs::create_directory("figures");
    ASSERT_TRUE(w->export_figures("figures", why)) << why.toStdString();
    const QStringList files = shape_figure_files(w->selected_shape()) + profile_figure_files();
    EXPECT_EQ(files.size(), 8);
    for (const QString& file : files)
        EXPECT_GT(fs::file_size(fs::path("figures") / file.toStdString()), 0u) << file.toStdString();

    // A folder that is not there is an error with its reason.
    why.clear();
    EXPECT_FALSE(w->export_obj("missing/shape.obj", why));
    EXPECT_FALSE(why.isEmpty());
    why.clear();
    EXPECT_FALSE(w->export_figures("missing", why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_FALSE(fs::exists("missing"));
}

TEST_F(ResultsTest, OnlyTheLowestMisfitsFillTheTable)
{
    run_sweep(1, "0.2");
    results_window* w = shown_results();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->run().rows.size(), 826u);
    ASSERT_EQ(results_window::table_limit, 500u);
    EXPECT_EQ(w->table()->model()->rowCount(), 500);
    EXPECT_EQ(shapes_in_table(*w), shapes_of(best_fits(w->run().rows, 500)));
    const QString words = w->count_label()->text();
    EXPECT_TRUE(words.startsWith("826 shapes")) << words.toStdString();
    EXPECT_TRUE(words.contains("500 of lowest misfit")) << words.toStdString();
}

TEST_F(ResultsTest, OnlyACompleteSweepShowsItsResults)
{
    // A sweep that fails writing its files (a folder where a lightcurve
    // file goes): no window.
    fs::create_directories("output/00004.lc.txt");
    run_sweep(1, "0.5");
    dialog->check_sweep_end();
    EXPECT_EQ(dialog->results(), nullptr);
    EXPECT_EQ(app.last_sweep_result.load(), 0u);

    fs::remove_all("output/00004.lc.txt");
    click(ctl::generate_shapes);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !app.sweep_running.load(); }, 60000));
    ASSERT_NE(shown_results(), nullptr);

    // The next sweep replaces the folder's run: the old results go away and
    // stay away when it fails.
    fs::remove("output/00004.lc.txt");
    fs::create_directories("output/00004.lc.txt");
    click(ctl::generate_shapes);
    EXPECT_FALSE(dialog->results()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !app.sweep_running.load(); }, 60000));
    dialog->check_sweep_end();
    EXPECT_FALSE(dialog->results()->isVisible());
}

TEST(ResultsWindow, AFolderWithoutARunIsRefused)
{
    scratch_dir dir;
    results_window w;
    std::string why;
    EXPECT_FALSE(w.load(".", why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(w.selected_shape(), 0);
    EXPECT_EQ(w.table()->model()->rowCount(), 0);

    app_state app;
    main_dialog dialog(app);
    why.clear();
    EXPECT_FALSE(dialog.open_results(".", why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(dialog.results() == nullptr || !dialog.results()->isVisible());
}

TEST(ResultsProgram, AScriptGrabsTheResultsWindow)
{
    scratch_dir dir;
    fs::copy_file(data_file("test.zel"), "test.zel");
    const auto run_script = [&](const QString& script, QProcess& program) {
        program.setWorkingDirectory(QString::fromStdString(dir.path().string()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("MORVANE_DIALOG_SCRIPT", script);
        program.setProcessEnvironment(env);
        program.start(MORVANE_DIALOG_EXE, {});
        if (!program.waitForFinished(60000)) program.kill();
    };

    QProcess sweep;
    run_script("set 1046 1; click 1039; click 1050; set 1045 0.5; click 1040; wait; results picture.png; close", sweep);
    EXPECT_EQ(sweep.exitCode(), 0) << sweep.readAllStandardError().toStdString();
    const QImage picture("picture.png");
    EXPECT_GE(picture.width(), 800);
    EXPECT_GE(picture.height(), 500);

    // Before any sweep there is nothing to grab.
    QProcess early;
    run_script("results early.png; close", early);
    EXPECT_EQ(early.exitCode(), 2);
    EXPECT_FALSE(fs::exists("early.png"));

    // "choose" picks the fit mode; a choice the box lacks ends the script.
    QProcess chi2;
    run_script("choose 1067 chi2; set 1046 1; click 1039; click 1050; set 1045 0.9; click 1040; wait; close", chi2);
    EXPECT_EQ(chi2.exitCode(), 0) << chi2.readAllStandardError().toStdString();
    EXPECT_NE(read_file("output/run.json").find("\"fit\": \"chi2\""), std::string::npos);
    QProcess unknown;
    run_script("choose 1067 least-squares; close", unknown);
    EXPECT_EQ(unknown.exitCode(), 2);
}

TEST(DialogBrowse, TheButtonBesideThePathFieldFillsIt)
{
    scratch_dir dir;
    app_state app;
    main_dialog dialog(app);
    dialog.show();
    auto* path = qobject_cast<QLineEdit*>(dialog.control(ctl::path));
    auto* browse = qobject_cast<QAbstractButton*>(dialog.control(dialog_ctl::browse_path));
    ASSERT_NE(browse, nullptr);
    EXPECT_EQ(browse->text(), "...");
    EXPECT_TRUE(browse->isEnabled());

    // Right of the field, level with it, inside the field's frame, over no
    // other control; its id is none of the controller's.
    const QRect field = path->geometry(), button = browse->geometry();
    EXPECT_GT(button.left(), field.right());
    EXPECT_LT(button.left() - field.right(), field.height());
    EXPECT_LE(std::abs(button.center().y() - field.center().y()), 2);
    const QGroupBox* frame = nullptr;
    for (const QGroupBox* group : dialog.findChildren<QGroupBox*>())
        if (group->title() == "Load Lightcurve") frame = group;
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->geometry().contains(button)) << "frame right " << frame->geometry().right();
    for (QWidget* other : dialog.findChildren<QWidget*>()) {
        if (other != browse && other->parentWidget() == &dialog && !qobject_cast<QGroupBox*>(other)) {
            EXPECT_FALSE(other->geometry().intersects(button)) << other->objectName().toStdString();
        }
    }
    for (int id = 1; id < dialog_ctl::browse_path; ++id) EXPECT_NE(dialog.control(id), browse) << id;

    // A file inside the working folder goes in relative, another absolute.
    fs::create_directory("obs");
    write_file("obs/mine.zel", small_observation_file(20));
    {
        file_answer answer(QString::fromStdString((dir.path() / "obs/mine.zel").string()));
        QTest::mouseClick(browse, Qt::LeftButton);
        EXPECT_GE(answer.answers, 1);
    }
    EXPECT_EQ(path->text(), "obs/mine.zel");
    const QString elsewhere = QString::fromStdString(fs::canonical(data_file("test.zel")).string());
    {
        file_answer answer(elsewhere);
        QTest::mouseClick(browse, Qt::LeftButton);
    }
    EXPECT_EQ(path->text(), elsewhere);
    // Cancelled: the field keeps its text.
    {
        file_answer answer("");
        QTest::mouseClick(browse, Qt::LeftButton);
        EXPECT_GE(answer.answers, 1);
    }
    EXPECT_EQ(path->text(), elsewhere);
}

// The ranges' lines: the refined best's fit, then each parameter the file
// lists with its unit, the unlisted ones left out.
TEST(ResultsUncertainty, EachListedParameterWithItsUnit)
{
    refinement_files files;
    files.uncertainty.threshold = 12.5;
    files.uncertainty.ranges[model_param::y_scale_1] = {true, 0.75, 0.7, 0.8125};
    files.uncertainty.ranges[model_param::lambda_deg] = {true, 120.5, 110.25, 131};
    files.uncertainty.ranges[model_param::period_h] = {true, 7.123456789, 7.1234, 7.1235};
    refined_row best;
    best.reduced_chi2 = 1.25;
    best.rms_mag = 0.0123;
    files.refined.rows = {best};
    const QStringList lines = uncertainty_text(files).split('\n');
    EXPECT_EQ(lines, QStringList({"Refined best: reduced chi2 1.25, rms 0.0123 mag",
                                  "Uncertainty ranges (chi2 under 12.5):", "y_scale_1 = 0.7500 (0.7000 to 0.8125)",
                                  "lambda_deg = 120.5000 deg (110.2500 to 131.0000 deg)",
                                  "period_h = 7.12345679 h (7.12340000 to 7.12350000 h)"}));
}

TEST_F(ResultsTest, TheShapeExportOffersOBJAndDAMITAndTheUnionOfTheLobes)
{
    run_sweep(2, "0.5");
    results_window* w = shown_results();
    ASSERT_NE(w, nullptr);
    const QStringList filters = results_window::export_filters();
    ASSERT_EQ(filters.size(), 4);
    EXPECT_EQ(filters.front(), "Wavefront OBJ (*.obj)");  // today's two shells stay the default
    const struct {
        const char* name;
        shape_format format;
        bool lobe_union;
    } expected[] = {{"two.obj", shape_format::obj, false},
                    {"union.obj", shape_format::obj, true},
                    {"two.txt", shape_format::damit, false},
                    {"union.txt", shape_format::damit, true}};
    for (int i = 0; i < 4; ++i) {
        const shape_export_options how = results_window::export_options_of(filters[i]);
        EXPECT_EQ(how.format, expected[i].format) << i;
        EXPECT_EQ(how.lobe_union, expected[i].lobe_union) << i;
        EXPECT_EQ(how.diameter_km, 0.0) << i;
        QString why;
        const bool written = w->export_shape(expected[i].name, how, why);
        EXPECT_EQ(written, !how.lobe_union || lobe_union_built()) << i << ": " << why.toStdString();
    }
    EXPECT_EQ(results_window::export_options_of("All files (*)").format, shape_format::obj);
    EXPECT_FALSE(results_window::export_options_of("All files (*)").lobe_union);
    // The two shells' OBJ is export_obj's file; the DAMIT file holds the
    // same vertices and facets under its counts line.
    QString why;
    ASSERT_TRUE(w->export_obj("default.obj", why)) << why.toStdString();
    EXPECT_EQ(read_file("default.obj"), read_file("two.obj"));
    const int vertices = lines_starting("two.obj", "v "), facets = lines_starting("two.obj", "f ");
    std::ifstream damit("two.txt");
    int v = 0, f = 0;
    ASSERT_TRUE(damit >> v >> f);
    EXPECT_EQ(v, vertices);
    EXPECT_EQ(f, facets);
    if (lobe_union_built()) {
        EXPECT_LT(lines_starting("union.obj", "f "), facets);
        EXPECT_GT(lines_starting("union.obj", "f "), facets / 2);
    }
}
