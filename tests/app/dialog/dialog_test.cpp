#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog/main_dialog.hpp"
#include "app/dialog/results_window.hpp"
#include "common/control_ids.hpp"
#include "runs/refinement_reader.hpp"
#include "runs/spin_file.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "workflow/app_state.hpp"

namespace fs = std::filesystem;

namespace {

const int edit_ids[] = {ctl::subdivisions, ctl::path, ctl::lambda,    ctl::period,  ctl::epoch,
                        ctl::beta,         ctl::phi0, ctl::step_size, ctl::threads, ctl::blocks};

// A shown dialog over its own controller state. A sweep still running at
// the end is cancelled and waited for while the dialog can still answer it.
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dialog = std::make_unique<main_dialog>(app);
        dialog->show();
    }

    void TearDown() override
    {
        if (app.sweep_running.load()) {
            app.cancel.store(1);
            wait_for_sweep_end(120000);
        }
        dialog.reset();
    }

    template <class T>
    T* get(int id)
    {
        auto* widget = qobject_cast<T*>(dialog->control(id));
        EXPECT_NE(widget, nullptr) << "control " << id;
        return widget;
    }
    QLineEdit* edit(int id) { return get<QLineEdit>(id); }
    QLabel* label(int id) { return get<QLabel>(id); }
    QPushButton* button(int id) { return get<QPushButton>(id); }
    QProgressBar* bar() { return get<QProgressBar>(ctl::progress); }
    std::string text(int id) { return label(id)->text().toStdString(); }

    // A mouse click, which does nothing on a greyed button.
    void click(int id) { QTest::mouseClick(button(id), Qt::LeftButton); }

    bool wait_for_sweep_end(int timeout_ms)
    {
        return QTest::qWaitFor([this] { return !app.sweep_running.load(); }, timeout_ms);
    }

    // Subdivisions n, then "Generate Geosphere" and "GO!" on the shipped test file.
    void geosphere_and_load(const std::string& n)
    {
        fs::copy_file(data_file("test.zel"), "test.zel");
        edit(ctl::subdivisions)->setText(QString::fromStdString(n));
        click(ctl::generate_geosphere);
        click(ctl::load_lightcurve);
        ASSERT_TRUE(button(ctl::generate_shapes)->isEnabled());
    }

    // A chi2 sweep at step 0.5 of the three-geometry file at n = 1 with
    // Refine `starts` and the refinement's `budget`, waited for until its
    // refinement runs.
    void sweep_then_refine(const std::string& starts, const refine_budget& budget, const std::string& threads = "1")
    {
        dialog->set_refine_budget(budget);
        get<QComboBox>(ctl::fit)->setCurrentText("chi2");
        edit(dialog_ctl::refine)->setText(QString::fromStdString(starts));
        edit(ctl::path)->setText(QString::fromStdString(data_file("twin_three_geometries.zel")));
        edit(ctl::subdivisions)->setText("1");
        edit(ctl::step_size)->setText("0.5");
        edit(ctl::threads)->setText(QString::fromStdString(threads));
        click(ctl::generate_geosphere);
        click(ctl::load_lightcurve);
        click(ctl::generate_shapes);
        ASSERT_TRUE(wait_for_sweep_end(30000));
        ASSERT_EQ(app.last_sweep_result.load(), 1u) << text(ctl::status_line);
        dialog->check_sweep_end();
        ASSERT_TRUE(dialog->refining()) << text(ctl::status_line);
    }

    bool wait_for_refinement_end(int timeout_ms)
    {
        return QTest::qWaitFor([this] { return !dialog->refining(); }, timeout_ms);
    }

    app_state app;
    std::unique_ptr<main_dialog> dialog;
};

// Accepts every message box that becomes the active modal window once it
// has been open for `hold_ms`, first recording what it showed.
struct box_closer {
    struct seen_box {
        QString text, caption;
        QMessageBox::Icon icon;
        QWidget* parent;
        bool modal;
        std::string status_line;  // the dialog's status line while the box was open
    };

    explicit box_closer(main_dialog& dialog, int hold_ms = 150)
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, &dialog, hold_ms] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            if (box != current) {
                current = box;
                opened = std::chrono::steady_clock::now();
                return;
            }
            if (std::chrono::steady_clock::now() - opened < std::chrono::milliseconds(hold_ms)) return;
            auto* status = qobject_cast<QLabel*>(dialog.control(ctl::status_line));
            boxes.push_back({box->text(), box->windowTitle(), box->icon(), box->parentWidget(), box->isModal(),
                             status->text().toStdString()});
            current = nullptr;
            box->accept();
        });
        timer.start();
    }

    QTimer timer;
    QMessageBox* current = nullptr;
    std::chrono::steady_clock::time_point opened;
    std::vector<seen_box> boxes;
};

}  // namespace

TEST(DialogFont, GreekFontHeightIsTenPointRoundedToNearest)
{
    EXPECT_EQ(symbol_font_height(96), -13);   // 13.33
    EXPECT_EQ(symbol_font_height(120), -17);  // 16.67
    EXPECT_EQ(symbol_font_height(90), -13);   // 12.5 rounds up
    EXPECT_EQ(symbol_font_height(72), -10);
    EXPECT_EQ(symbol_font_height(144), -20);
}

TEST_F(DialogTest, StartState)
{
    EXPECT_EQ(dialog->windowTitle(), "Morvane");

    // Every control under its identifier, with its text.
    const std::vector<std::pair<int, QString>> buttons = {{ctl::generate_geosphere, "Generate Geosphere"},
                                                          {ctl::load_lightcurve, "GO!"},
                                                          {ctl::generate_shapes, "Generate Shapes"},
                                                          {ctl::cancel, "Cancel"}};
    for (const auto& [id, caption] : buttons) EXPECT_EQ(button(id)->text(), caption) << id;
    const std::vector<std::pair<int, QString>> labels = {{ctl::subdivisions_label, "Subdivisions"},
                                                         {ctl::period_label, "P sid"},
                                                         {ctl::epoch_label, "t 0"},
                                                         {ctl::step_size_label, "Step Size"},
                                                         {ctl::threads_label, "Threads"},
                                                         {ctl::status_line, ""},
                                                         {ctl::lambda_label, QString(QChar(0x03bb))},
                                                         {ctl::beta_label, QString(QChar(0x03b2))},
                                                         {ctl::phi0_label, QString(QChar(0x03a6))}};
    for (const auto& [id, caption] : labels) EXPECT_EQ(label(id)->text(), caption) << id;
    const std::vector<std::pair<int, QString>> defaults = {
        {ctl::subdivisions, "3"}, {ctl::threads, "1"}, {ctl::step_size, "1"},    {ctl::beta, "90"},
        {ctl::lambda, "90"},      {ctl::phi0, "90"},   {ctl::period, "21.9"},    {ctl::epoch, "0"},
        {ctl::path, "test.zel"},  {ctl::blocks, ""},   {dialog_ctl::refine, "0"}};
    for (const auto& [id, value] : defaults) EXPECT_EQ(edit(id)->text(), value) << id;
    EXPECT_EQ(label(dialog_ctl::refine_label)->text(), "Refine");
    // The fit mode: a choice of three, today's range fit first.
    auto* fit = get<QComboBox>(ctl::fit);
    ASSERT_NE(fit, nullptr);
    EXPECT_EQ(fit->currentText(), "range");
    EXPECT_EQ(fit->count(), 3);
    EXPECT_EQ(fit->itemText(1), "offset");
    EXPECT_EQ(fit->itemText(2), "chi2");
    QStringList titles;
    for (QGroupBox* group : dialog->findChildren<QGroupBox*>()) titles << group->title();
    titles.sort();
    EXPECT_EQ(titles, QStringList({"Fit", "Load Lightcurve", "Static"}));

    // Only the first step, Cancel and the fields are usable.
    EXPECT_TRUE(button(ctl::generate_geosphere)->isEnabled());
    EXPECT_TRUE(button(ctl::cancel)->isEnabled());
    EXPECT_FALSE(button(ctl::load_lightcurve)->isEnabled());
    EXPECT_FALSE(button(ctl::generate_shapes)->isEnabled());
    for (int id : edit_ids) {
        EXPECT_TRUE(edit(id)->isEnabled()) << id;
        EXPECT_TRUE(edit(id)->hasFrame()) << id;
    }

    EXPECT_EQ(bar()->minimum(), 0);
    EXPECT_EQ(bar()->maximum(), 100);
    EXPECT_EQ(bar()->value(), 0);

    for (int id : {ctl::subdivisions_label, ctl::step_size_label, ctl::threads_label})
        EXPECT_TRUE(label(id)->alignment() & Qt::AlignRight) << id;
    const int greek_pixels = -symbol_font_height(dialog->logicalDpiY());
    for (int id : {ctl::lambda_label, ctl::beta_label, ctl::phi0_label})
        EXPECT_EQ(label(id)->font().pixelSize(), greek_pixels) << id;

    // Dialog units: x by a quarter of the average character width, y by an
    // eighth of the character height.
    const QFontMetrics metrics(dialog->font());
    const auto x = [&](int units) { return (units * metrics.averageCharWidth() + 2) / 4; };
    const auto y = [&](int units) { return (units * metrics.height() + 4) / 8; };
    EXPECT_EQ(dialog->size(), QSize(x(368), y(225)));
    EXPECT_EQ(button(ctl::generate_shapes)->geometry(), QRect(x(18), y(102), x(102) - x(18), y(116) - y(102)));
    EXPECT_EQ(edit(ctl::path)->geometry(), QRect(x(138), y(31), x(350) - x(138), y(45) - y(31)));

    // The fields take part in tab order, in the order of the window.
    std::vector<int> tab_order;
    QWidget* widget = button(ctl::generate_geosphere);
    for (int hops = 0; hops < 50; ++hops, widget = widget->nextInFocusChain())
        if (auto* field = qobject_cast<QLineEdit*>(widget); field && field->focusPolicy() & Qt::TabFocus)
            if (std::find(tab_order.begin(), tab_order.end(), field->property("controlId").toInt()) == tab_order.end())
                tab_order.push_back(field->property("controlId").toInt());
    std::vector<int> expected_order(std::begin(edit_ids), std::end(edit_ids));
    for (int id : {dialog_ctl::sigma, dialog_ctl::pole, dialog_ctl::refine}) expected_order.push_back(id);
    EXPECT_EQ(tab_order, expected_order);
}

TEST_F(DialogTest, LabelsShowTheirWholeText)
{
    dialog->set_item_text(ctl::step_size_label, "Step Size: 0.050000");
    dialog->set_item_text(ctl::subdivisions_label, "Subdivisions: 10");
    for (QLabel* each : dialog->findChildren<QLabel*>()) {
        const QFontMetrics metrics(each->font());
        EXPECT_GE(each->width(), metrics.horizontalAdvance(each->text())) << each->text().toStdString();
        EXPECT_GE(each->height(), metrics.height()) << each->text().toStdString();
        EXPECT_TRUE(dialog->rect().contains(each->geometry())) << each->text().toStdString();
    }
    // A right-aligned label keeps its right edge.
    const QFontMetrics metrics(dialog->font());
    EXPECT_EQ(label(ctl::step_size_label)->geometry().right() + 1, (208 * metrics.averageCharWidth() + 2) / 4);
}

TEST_F(DialogTest, ThreeStepsOnASmallCase)
{
    scratch_dir dir;
    fs::copy_file(data_file("test.zel"), "test.zel");
    const QThread* dialog_thread = QThread::currentThread();
    std::vector<int> positions;
    std::vector<std::string> status_at_position;
    bool all_on_dialog_thread = true;
    QObject::connect(bar(), &QProgressBar::valueChanged, [&](int value) {
        positions.push_back(value);
        status_at_position.push_back(text(ctl::status_line));
        all_on_dialog_thread = all_on_dialog_thread && QThread::currentThread() == dialog_thread;
    });

    edit(ctl::subdivisions)->setText("1");
    click(ctl::generate_geosphere);
    EXPECT_EQ(text(ctl::status_line).rfind("generated basic-shape with 160 facets and 240 vertices in ", 0), 0u)
        << text(ctl::status_line);
    EXPECT_EQ(text(ctl::subdivisions_label), "Subdivisions: 1");
    EXPECT_TRUE(button(ctl::load_lightcurve)->isEnabled());
    EXPECT_FALSE(button(ctl::generate_shapes)->isEnabled());
    EXPECT_TRUE(fs::exists("basic_shape_1.obj"));

    click(ctl::load_lightcurve);
    EXPECT_TRUE(button(ctl::generate_shapes)->isEnabled());
    EXPECT_TRUE(fs::exists("ref_lc.txt"));
    EXPECT_TRUE(fs::exists("ref_lc_interpolated.txt"));

    click(ctl::generate_shapes);
    ASSERT_TRUE(wait_for_sweep_end(30000));
    EXPECT_EQ(app.last_sweep_result.load(), 1u);
    EXPECT_EQ(text(ctl::status_line).rfind("generated and compared 1 shapes in ", 0), 0u) << text(ctl::status_line);
    EXPECT_EQ(text(ctl::step_size_label), "Step Size: 1.000000");
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(positions, (std::vector<int>{100, 0}));
    ASSERT_FALSE(status_at_position.empty());
    EXPECT_EQ(status_at_position[0], "generating and comparing 1 shapes...");
    EXPECT_TRUE(all_on_dialog_thread);
    EXPECT_TRUE(fs::exists("output/00001.lc.txt"));
    EXPECT_EQ(
        read_file("output/main.txt").rfind("1 1.000000 0.500000 0.250000 0.100000 0.050000 0.025000 0.900000 ", 0), 0u);
    EXPECT_TRUE(dialog->isVisible());
}

// The chi2 fit chosen in the dialog, with each block's sigma estimated,
// writes the command line's table; a lightcurve loaded for the range fit is
// refused until it is loaded again.
TEST_F(DialogTest, Chi2FitWritesTheCommandLinesTable)
{
    scratch_dir dir;
    const std::string folder = dir.path().string();
    std::string printed;
    ASSERT_EQ(run_command(std::string(MORVANE_CLI) + " -C " + folder + " --path " + data_file("test.zel") +
                              " --subdivisions 1 --step 0.5 --fit chi2 --threads 1 2>&1",
                          printed),
              0)
        << printed;
    const std::string expected = read_file("output/main.txt");
    fs::rename("output", "cli_output");

    geosphere_and_load("1");
    edit(ctl::step_size)->setText("0.5");
    auto* fit = get<QComboBox>(ctl::fit);
    fit->setCurrentText("chi2");
    click(ctl::generate_shapes);
    EXPECT_FALSE(app.sweep_running.load());
    EXPECT_NE(text(ctl::status_line).find("load it again"), std::string::npos) << text(ctl::status_line);
    EXPECT_FALSE(fs::exists("output"));

    click(ctl::load_lightcurve);
    click(ctl::generate_shapes);
    ASSERT_TRUE(wait_for_sweep_end(60000));
    EXPECT_EQ(app.last_sweep_result.load(), 1u);
    EXPECT_EQ(read_file("output/main.txt"), expected);
    EXPECT_FALSE(expected.empty());
}

TEST_F(DialogTest, RefusedFieldsChangeNothing)
{
    scratch_dir dir;
    for (const char* refused : {"0", "11", "3x", "", " ", "1.5"}) {
        edit(ctl::subdivisions)->setText(refused);
        click(ctl::generate_geosphere);
        EXPECT_EQ(text(ctl::status_line), "") << refused;
        EXPECT_EQ(text(ctl::subdivisions_label), "Subdivisions") << refused;
        EXPECT_FALSE(button(ctl::load_lightcurve)->isEnabled()) << refused;
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));

    geosphere_and_load(" 1");
    const std::string status = text(ctl::status_line);
    edit(ctl::step_size)->setText("0.5x");
    click(ctl::generate_shapes);
    edit(ctl::step_size)->setText("1");
    edit(ctl::threads)->setText("0");
    click(ctl::generate_shapes);
    EXPECT_FALSE(app.sweep_running.load());
    EXPECT_EQ(text(ctl::status_line), status);
    EXPECT_EQ(text(ctl::step_size_label), "Step Size");
    EXPECT_FALSE(fs::exists("output"));
}

TEST_F(DialogTest, CancelStopsTheSweep)
{
    scratch_dir dir;
    geosphere_and_load("3");
    edit(ctl::step_size)->setText("0.3");
    click(ctl::generate_shapes);
    EXPECT_TRUE(app.sweep_running.load());
    click(ctl::cancel);
    ASSERT_TRUE(wait_for_sweep_end(60000));
    EXPECT_EQ(text(ctl::status_line), "aborted by user");
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(app.cancel.load(), 0);
    EXPECT_EQ(text(ctl::step_size_label), "Step Size");
    EXPECT_FALSE(fs::exists("output/main.txt"));
}

TEST_F(DialogTest, CloseBoxEscapeAndEnterEndTheDialog)
{
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), ctl::close);

    dialog->show();
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), ctl::close);

    dialog->show();
    edit(ctl::step_size)->setFocus();
    QTest::keyClick(edit(ctl::step_size), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), ctl::ok);
}

TEST_F(DialogTest, EnterOnAButtonPressesIt)
{
    scratch_dir dir;
    edit(ctl::subdivisions)->setText("1");
    button(ctl::generate_geosphere)->setFocus();
    QTest::keyClick(button(ctl::generate_geosphere), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(text(ctl::subdivisions_label), "Subdivisions: 1");
}

TEST_F(DialogTest, WorkerCallsWaitUntilTheDialogHandledThem)
{
    box_closer closer(*dialog);
    std::atomic<int> shown{-1};
    QObject::connect(bar(), &QProgressBar::valueChanged, [&](int value) { shown.store(value); });
    std::atomic<bool> progress_handled_before_return{false};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        dialog->message_box("held", "Caption", box_icon::information);
        dialog->set_item_text(ctl::status_line, "after the first box");
        dialog->message_box("no owner", "Error", box_icon::error, box_owner::none);
        dialog->set_progress(42);
        progress_handled_before_return.store(shown.load() == 42);
        dialog->enable_item(ctl::generate_shapes);
        finished.store(true);
    });
    if (!QTest::qWaitFor([&] { return finished.load(); }, 10000)) {
        worker.detach();
        FAIL() << "the worker's calls were not handled";
    }
    worker.join();

    ASSERT_EQ(closer.boxes.size(), 2u);
    EXPECT_EQ(closer.boxes[0].text, "held");
    EXPECT_EQ(closer.boxes[0].caption, "Caption");
    EXPECT_EQ(closer.boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(closer.boxes[0].parent, dialog.get());
    EXPECT_TRUE(closer.boxes[0].modal);
    EXPECT_EQ(closer.boxes[0].status_line, "");  // the worker waited for the box
    EXPECT_EQ(closer.boxes[1].icon, QMessageBox::Critical);
    EXPECT_EQ(closer.boxes[1].parent, nullptr);
    EXPECT_TRUE(closer.boxes[1].modal);
    EXPECT_EQ(closer.boxes[1].status_line, "after the first box");
    EXPECT_TRUE(progress_handled_before_return.load());
    EXPECT_EQ(bar()->value(), 42);
    EXPECT_TRUE(button(ctl::generate_shapes)->isEnabled());

    // From the dialog's own thread the box is shown directly.
    dialog->message_box("direct", "Tavrin", box_icon::none);
    ASSERT_EQ(closer.boxes.size(), 3u);
    EXPECT_EQ(closer.boxes[2].icon, QMessageBox::NoIcon);
    EXPECT_EQ(closer.boxes[2].caption, "Tavrin");
}

TEST_F(DialogTest, FieldsReadThroughTheStatusOperations)
{
    edit(ctl::path)->setText("some/where.zel");
    EXPECT_EQ(dialog->read_item_text(ctl::path, 5), "some");
    EXPECT_EQ(dialog->read_item_text(ctl::path, 200), "some/where.zel");
    int value = 0;
    edit(ctl::threads)->setText("  -7");
    EXPECT_TRUE(dialog->read_item_int(ctl::threads, value));
    EXPECT_EQ(value, -7);
    edit(ctl::threads)->setText("7 threads");
    EXPECT_FALSE(dialog->read_item_int(ctl::threads, value));
}

TEST(DialogProgram, ClosingDuringASweepExitsAtOnceWithZero)
{
    scratch_dir dir;
    fs::copy_file(data_file("test.zel"), "test.zel");
    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.path().string()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // Step 0.1 gives 44388 shapes: far longer than the test waits. The step
    // "running" ends the program with 3 unless the sweep runs at the close.
    env.insert("MORVANE_DIALOG_SCRIPT",
               "set 1046 1; click 1039; click 1050; set 1045 0.1; click 1040; sleep 300; running; close");
    program.setProcessEnvironment(env);
    program.start(MORVANE_DIALOG_EXE, {});
    ASSERT_TRUE(program.waitForStarted(10000));
    const bool finished = program.waitForFinished(20000);
    if (!finished) program.kill();
    ASSERT_TRUE(finished) << "the program did not end after its window was closed";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_FALSE(fs::exists("output/main.txt"));
}

TEST_F(DialogTest, FailuresAndAHeldFolderShowTheirReasonOnTheStatusLine)
{
    scratch_dir dir;
    geosphere_and_load("1");
    edit(ctl::step_size)->setText("0.5");
    // A folder where a lightcurve file goes: the sweep cannot create it.
    fs::create_directories("output/00004.lc.txt");
    click(ctl::generate_shapes);
    ASSERT_TRUE(wait_for_sweep_end(30000));
    EXPECT_EQ(text(ctl::status_line), "sweep failed: cannot create output/00004.lc.txt: Is a directory");
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_FALSE(fs::exists("output/main.txt"));

    // Another run (here a second controller in this process) holds the folder.
    fs::remove_all("output/00004.lc.txt");
    folder_lock other;
    std::string why;
    ASSERT_TRUE(other.acquire(why)) << why;
    click(ctl::generate_shapes);
    EXPECT_FALSE(app.sweep_running.load());
    EXPECT_EQ(text(ctl::status_line).rfind("another run (pid ", 0), 0u) << text(ctl::status_line);
    other.release();
    click(ctl::generate_shapes);
    ASSERT_TRUE(wait_for_sweep_end(30000));
    EXPECT_EQ(text(ctl::status_line).rfind("generated and compared 12 shapes in ", 0), 0u) << text(ctl::status_line);
}

TEST_F(DialogTest, ARefusedLoadSaysWhyOnTheStatusLine)
{
    scratch_dir dir;
    edit(ctl::subdivisions)->setText("1");
    click(ctl::generate_geosphere);
    edit(ctl::path)->setText("missing.zel");
    click(ctl::load_lightcurve);
    EXPECT_EQ(text(ctl::status_line), "missing.zel: No such file or directory");
    EXPECT_FALSE(button(ctl::generate_shapes)->isEnabled());
    edit(ctl::path)->setText(QString::fromStdString(data_file("test.zel")));
    edit(ctl::lambda)->setText("400");
    click(ctl::load_lightcurve);
    EXPECT_EQ(text(ctl::status_line), "the pole longitude must lie between 0 and 360 degrees");
}

TEST_F(DialogTest, RefineFieldIsForTheChi2FitOnly)
{
    auto* fit = get<QComboBox>(ctl::fit);
    EXPECT_FALSE(edit(dialog_ctl::refine)->isEnabled());
    for (const auto& [mode, usable] :
         std::vector<std::pair<QString, bool>>{{"chi2", true}, {"offset", false}, {"chi2", true}, {"range", false}}) {
        fit->setCurrentText(mode);
        EXPECT_EQ(edit(dialog_ctl::refine)->isEnabled(), usable) << mode.toStdString();
    }

    // With the chi2 fit a count outside 0 to 50 starts nothing and says why.
    scratch_dir dir;
    fit->setCurrentText("chi2");
    geosphere_and_load("1");
    for (const char* refused : {"51", "-1", "2x", "", "1.5"}) {
        edit(dialog_ctl::refine)->setText(refused);
        click(ctl::generate_shapes);
        EXPECT_FALSE(app.sweep_running.load()) << refused;
        EXPECT_EQ(text(ctl::status_line).rfind("Refine must be a whole number from 0 to 50", 0), 0u) << refused;
    }
    EXPECT_FALSE(fs::exists("output"));
}

// The dialog's refinement writes the command line's files, byte for byte,
// on other threads than the command line's, and shows its lines; the open
// results window then shows the refined run.
TEST_F(DialogTest, RefinementAfterAChi2SweepWritesTheCommandLinesFiles)
{
    scratch_dir dir;
    const std::string folder = dir.path().string();
    std::string printed;
    ASSERT_EQ(run_command(std::string(MORVANE_CLI) + " -C " + folder + " --path " +
                              data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.5 --fit chi2 --threads 1 --refine 1 --refine-effort 0.1 2>&1",
                          printed),
              0)
        << printed;
    fs::rename("output", "cli_output");

    sweep_then_refine("1", scaled_budget(0.1), "2");
    // Nothing that starts work is usable while the refinement runs.
    for (int id : {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes})
        EXPECT_FALSE(button(id)->isEnabled()) << id;
    ASSERT_TRUE(wait_for_refinement_end(60000));
    for (int id : {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes})
        EXPECT_TRUE(button(id)->isEnabled()) << id;
    EXPECT_EQ(bar()->maximum(), 100);

    for (const char* file : {"refined.txt", "uncertainty.json", "best.obj", "main.txt"}) {
        const std::string written = read_file(fs::path("output") / file);
        EXPECT_FALSE(written.empty()) << file;
        EXPECT_TRUE(written == read_file(fs::path("cli_output") / file)) << file << " differs from the command line's";
    }
    EXPECT_NE(read_file("output/run.json").find("\"refinement\""), std::string::npos);

    // The command line's lines, but for the times, are the status line's tool tip.
    const std::string shown = label(ctl::status_line)->toolTip().toStdString();
    int compared = 0;
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
        for (const char* start : {"warning: ", "jackknife skipped", "refined best", "reduced chi2"}) {
            if (line.rfind(start, 0) != 0) continue;
            EXPECT_NE(shown.find(line), std::string::npos) << line << "\nnot in\n" << shown;
            ++compared;
        }
    }
    EXPECT_GE(compared, 2);
    EXPECT_EQ(text(ctl::status_line).rfind("refined best (from shape ", 0), 0u) << text(ctl::status_line);

    ASSERT_NE(dialog->results(), nullptr);
    EXPECT_TRUE(dialog->results()->isVisible());
    EXPECT_TRUE(dialog->results()->run().refinement.has_value()) << dialog->results()->run().refinement_problem;

    // Its ranges, as the command line's uncertainty.json has them.
    uncertainty_record expected;
    std::string why;
    ASSERT_TRUE(parse_uncertainty(read_file("cli_output/uncertainty.json"), "uncertainty.json", expected, why)) << why;
    const QLabel* ranges = dialog->results()->uncertainty_label();
    EXPECT_TRUE(ranges->isVisible());
    const QStringList range_lines = ranges->text().split('\n');
    int listed = 0;
    for (int p = 0; p < model_param::count; ++p) {
        if (!expected.ranges[p].listed) continue;
        ++listed;
        const QString start = QString("%1 = ").arg(model_param_name(p));
        const auto line =
            std::find_if(range_lines.begin(), range_lines.end(), [&](const QString& l) { return l.startsWith(start); });
        ASSERT_NE(line, range_lines.end()) << start.toStdString() << " in\n" << ranges->text().toStdString();
        double best = 0.0, lo = 0.0, hi = 0.0;
        const std::string range = line->toStdString();
        ASSERT_EQ(std::sscanf(range.c_str() + start.size(), "%lf%*[^(](%lf to %lf", &best, &lo, &hi), 3) << range;
        EXPECT_NEAR(best, expected.ranges[p].best, 1e-4) << range;
        EXPECT_NEAR(lo, expected.ranges[p].min, 1e-4) << range;
        EXPECT_NEAR(hi, expected.ranges[p].max, 1e-4) << range;
    }
    EXPECT_GE(listed, 6);
    EXPECT_TRUE(range_lines.front().startsWith("Refined best: reduced chi2 ")) << range_lines.front().toStdString();
    EXPECT_TRUE(range_lines.front().endsWith(" mag")) << range_lines.front().toStdString();
}

// Cancel, or closing the dialog, stops the refinement and leaves the
// sweep's files as the sweep wrote them.
TEST_F(DialogTest, AStoppedRefinementKeepsTheSweepsFiles)
{
    for (const bool by_closing : {false, true}) {
        SCOPED_TRACE(by_closing ? "closed" : "cancelled");
        scratch_dir dir;
        dialog->show();
        // Far more than the test waits for.
        sweep_then_refine("2", scaled_budget(100.0));
        const std::string table = read_file("output/main.txt");
        const std::string record = read_file("output/run.json");
        QTest::qWait(200);
        if (by_closing) {
            dialog->close();
            EXPECT_FALSE(dialog->refining());  // the close waited for it
        } else {
            click(ctl::cancel);
            ASSERT_TRUE(wait_for_refinement_end(20000));
        }
        EXPECT_EQ(text(ctl::status_line), "refinement cancelled; the sweep's files are complete");
        EXPECT_EQ(app.cancel.load(), 0);
        EXPECT_EQ(read_file("output/main.txt"), table);
        EXPECT_EQ(read_file("output/run.json"), record);
        for (const char* file : {"output/refined.txt", "output/uncertainty.json"}) EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(button(ctl::generate_shapes)->isEnabled());
    }
}

// Every field names its unit in its tool tip; the spin fields and Sigma also
// show it in a label right of the field, overlapping no other control.
TEST_F(DialogTest, EveryFieldHasItsUnit)
{
    struct expected_unit {
        int field;
        const char* in_tip;
        QString label;  // empty: the tool tip alone
    };
    const QString degree(QChar(0x00b0));
    const expected_unit units[] = {
        {ctl::lambda, "ecliptic longitude of the spin axis, degrees", degree},
        {ctl::beta, "ecliptic latitude of the spin axis, degrees", degree},
        {ctl::period, "hours", "h"},
        {ctl::epoch, "Julian date (days)", "JD"},
        {ctl::phi0, "degrees", degree},
        {ctl::step_size, "dimensionless", ""},
        {dialog_ctl::sigma, "mag", "mag"},
        {ctl::subdivisions, "a count", ""},
        {ctl::threads, "a count", ""},
        {dialog_ctl::refine, "a count", ""},
    };
    for (const expected_unit& unit : units) {
        SCOPED_TRACE(unit.field);
        EXPECT_TRUE(edit(unit.field)->toolTip().contains(unit.in_tip)) << edit(unit.field)->toolTip().toStdString();
        auto* shown = dialog->findChild<QLabel*>(QString("unit_%1").arg(unit.field));
        if (unit.label.isEmpty()) {
            EXPECT_EQ(shown, nullptr);
            continue;
        }
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(shown->text(), unit.label);
        EXPECT_EQ(shown->toolTip(), edit(unit.field)->toolTip());
        // Right of its field, on its line, clear of every other control.
        const QRect field = edit(unit.field)->geometry();
        EXPECT_GE(shown->geometry().left(), field.right());
        EXPECT_LT(std::abs(shown->geometry().center().y() - field.center().y()), field.height() / 2);
        for (QWidget* other : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (other != shown && !qobject_cast<QGroupBox*>(other)) {
                EXPECT_FALSE(shown->geometry().intersects(other->geometry())) << other->objectName().toStdString();
            }
        }
    }
    // No field without a tip.
    for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
        EXPECT_FALSE(field->toolTip().isEmpty()) << field->objectName().toStdString();
}

// "Spin file..." puts a spin file's five words into the spin fields as
// typed; a file that cannot be read changes no field and says why.
TEST_F(DialogTest, SpinFileFillsTheSpinFields)
{
    scratch_dir dir;
    EXPECT_EQ(button(dialog_ctl::spin_file)->text(), "Spin file...");
    const int spin_fields[] = {ctl::lambda, ctl::beta, ctl::period, ctl::epoch, ctl::phi0};
    const auto field_texts = [&] {
        std::vector<std::string> texts;
        for (int id : spin_fields) texts.push_back(edit(id)->text().toStdString());
        return texts;
    };
    write_file("spin.txt", "  123.50 -45.25\t7.123456789\n2451545.0 1.2e1\n");
    ASSERT_TRUE(dialog->fill_spin_fields("spin.txt")) << text(ctl::status_line);
    EXPECT_EQ(field_texts(), (std::vector<std::string>{"123.50", "-45.25", "7.123456789", "2451545.0", "1.2e1"}));
    EXPECT_EQ(text(ctl::status_line), "spin read from spin.txt");

    write_file("short.txt", "10 20 5\n");
    fs::create_directory("folder.txt");
    const std::vector<std::pair<std::string, std::string>> unreadable = {
        {"short.txt", "short.txt: expected 'lambda beta P' and 'JD0 phi0', found 3 numbers"},
        {"missing.txt", "missing.txt"},
        {"folder.txt", "folder.txt"}};
    for (const auto& [file, reason] : unreadable) {
        SCOPED_TRACE(file);
        EXPECT_FALSE(dialog->fill_spin_fields(file));
        EXPECT_EQ(field_texts(), (std::vector<std::string>{"123.50", "-45.25", "7.123456789", "2451545.0", "1.2e1"}));
        EXPECT_NE(text(ctl::status_line).find(reason), std::string::npos) << text(ctl::status_line);
    }
}

// The status line's summary of a load: blocks, points and days.
TEST(DialogLoad, SummaryCountsBlocksPointsAndDays)
{
    const auto set_of = [](const std::vector<std::pair<double, int>>& points) {
        obs_set set;
        for (const auto& [time, block] : points) {
            set.times.push_back(time);
            phot_point p{};
            p.lc_number = block;
            set.photometry.push_back(p);
        }
        set.count = static_cast<int32_t>(points.size());
        return set;
    };
    const std::vector<std::pair<obs_set, std::string>> cases = {
        {set_of({{2450000.25, 0}}), "loaded 1 block, 1 point over 0.0 days"},
        {set_of({{2450000.0, 0}, {2450000.5, 0}}), "loaded 1 block, 2 points over 0.5 days"},
        {set_of({{2450000.0, 0}, {2450001.0, 0}, {2450005.0, 3}, {2450012.4, 7}, {2450012.35, 7}}),
         "loaded 3 blocks, 5 points over 12.4 days"},
    };
    for (const auto& [set, expected] : cases) EXPECT_EQ(load_summary(set), expected);
}

// After a load the status line says what was loaded, as the command line's
// note of the whole file counts it, and keeps the load's warning.
TEST_F(DialogTest, ALoadSaysWhatItLoaded)
{
    scratch_dir dir;
    std::string printed;
    ASSERT_EQ(run_command(std::string(MORVANE_CLI) + " --path " + data_file("test.zel") +
                              " --subdivisions 1 --until load --threads 1 2>&1",
                          printed),
              0)
        << printed;
    std::size_t points = 0;
    double hours = 0.0;
    const auto note = printed.find("the whole file: ");
    ASSERT_NE(note, std::string::npos) << printed;
    ASSERT_EQ(std::sscanf(printed.c_str() + note, "the whole file: %zu points over %lf h", &points, &hours), 2);

    geosphere_and_load("1");
    char expected[100];
    std::snprintf(expected, sizeof expected, "loaded 1 block, %zu points over %.1f days", points, hours / 24.0);
    EXPECT_EQ(text(ctl::status_line).rfind(expected, 0), 0u) << text(ctl::status_line) << "\n" << printed;
    // The file spans more than a period: the command line's warning follows.
    if (printed.find("warning: ") != std::string::npos) {
        EXPECT_NE(text(ctl::status_line).find("rotation period"), std::string::npos) << text(ctl::status_line);
        EXPECT_FALSE(label(ctl::status_line)->toolTip().isEmpty());
    }
}

// Sigma, for the chi2 fit only, is --sigma: blank estimates each block's, a
// number gives every point that sigma; anything else is refused and leaves
// the load as it was.
TEST_F(DialogTest, SigmaFieldIsTheCommandLinesSigma)
{
    scratch_dir dir;
    auto* fit = get<QComboBox>(ctl::fit);
    EXPECT_FALSE(edit(dialog_ctl::sigma)->isEnabled());
    fit->setCurrentText("chi2");
    EXPECT_TRUE(edit(dialog_ctl::sigma)->isEnabled());
    edit(ctl::path)->setText(QString::fromStdString(data_file("twin_three_geometries.zel")));
    edit(ctl::subdivisions)->setText("1");
    click(ctl::generate_geosphere);
    for (const char* sigma : {"", "0.05"}) {
        SCOPED_TRACE(sigma);
        std::string printed;
        const std::string option = *sigma ? std::string(" --sigma ") + sigma : "";
        fs::create_directory("cli");
        ASSERT_EQ(run_command(std::string(MORVANE_CLI) + " -C cli --path " + data_file("twin_three_geometries.zel") +
                                  " --subdivisions 1 --fit chi2 --until load --threads 1" + option + " 2>&1",
                              printed),
                  0)
            << printed;
        edit(dialog_ctl::sigma)->setText(sigma);
        click(ctl::load_lightcurve);
        ASSERT_TRUE(button(ctl::generate_shapes)->isEnabled()) << text(ctl::status_line);
        EXPECT_EQ(text(ctl::status_line).rfind("loaded 3 blocks, ", 0), 0u) << text(ctl::status_line);
        EXPECT_EQ(app.sigma, *sigma ? 0.05 : 0.0);
        // Each block's points carry the sigma the command line's load gives them.
        const ref_curve& points = *app.reference;
        ASSERT_EQ(points.blocks.size(), 3u);
        for (std::size_t b = 0; b < points.blocks.size(); ++b) {
            const int first = points.block_starts[b], end = points.block_starts[b + 1];
            for (int i = first; i < end; ++i) ASSERT_EQ(points.photometry[i].sigma, points.photometry[first].sigma);
            char note[120];
            std::snprintf(note, sizeof note, "lightcurve %d: %d points, sigma %.4g mag (%s", points.blocks[b],
                          end - first, points.photometry[first].sigma, *sigma ? "given" : "estimated");
            EXPECT_NE(printed.find(note), std::string::npos) << note << "\nnot in\n" << printed;
        }
        fs::remove_all("cli");
    }
    for (const char* refused : {"0", "-0.1", "abc", "0.05 mag", "nan"}) {
        SCOPED_TRACE(refused);
        edit(dialog_ctl::sigma)->setText(refused);
        click(ctl::load_lightcurve);
        EXPECT_EQ(text(ctl::status_line).rfind("Sigma must be a number of magnitudes greater than 0", 0), 0u)
            << text(ctl::status_line);
        EXPECT_EQ(app.sigma, 0.05);
    }
    // Another fit ignores the field.
    fit->setCurrentText("range");
    EXPECT_FALSE(edit(dialog_ctl::sigma)->isEnabled());
    click(ctl::load_lightcurve);
    EXPECT_EQ(app.sigma, 0.0);
    EXPECT_EQ(text(ctl::status_line).rfind("loaded ", 0), 0u) << text(ctl::status_line);
}

// A pole search before the chi2 sweep writes the command line's files, byte
// for byte, and the sweep and its refinement run at the best spin, which
// the spin fields then hold.
TEST_F(DialogTest, PoleSearchRunsTheCommandLinesSearchBeforeTheSweep)
{
    scratch_dir dir;
    std::string printed;
    fs::create_directory("cli");
    ASSERT_EQ(run_command(std::string(MORVANE_CLI) + " -C cli --path " + data_file("twin_three_geometries.zel") +
                              " --subdivisions 1 --step 0.9 --fit chi2 --threads 2 --pole-nside 1 --pole-levels 1 "
                              "--scan-subdivisions 1 "
                              "--refine 1 --refine-effort 0.05 2>&1",
                          printed),
              0)
        << printed;

    dialog->set_pole_levels(1);
    dialog->set_refine_budget(scaled_budget(0.05));
    get<QComboBox>(ctl::fit)->setCurrentText("chi2");
    edit(dialog_ctl::refine)->setText("1");
    edit(dialog_ctl::pole)->setText("1");
    edit(ctl::path)->setText(QString::fromStdString(data_file("twin_three_geometries.zel")));
    edit(ctl::subdivisions)->setText("1");
    edit(ctl::step_size)->setText("0.9");
    edit(ctl::threads)->setText("2");
    click(ctl::generate_geosphere);
    click(ctl::load_lightcurve);
    click(ctl::generate_shapes);
    ASSERT_TRUE(dialog->searching()) << text(ctl::status_line);
    for (int id : {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes})
        EXPECT_FALSE(button(id)->isEnabled()) << id;
    EXPECT_EQ(text(ctl::status_line).rfind("searching the spin", 0), 0u) << text(ctl::status_line);
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            dialog->check_search_end();
            dialog->check_sweep_end();
            return !dialog->searching() && !app.sweep_running.load() && !dialog->refining();
        },
        120000));
    EXPECT_EQ(text(ctl::status_line).rfind("refined best (from shape ", 0), 0u) << text(ctl::status_line);
    for (const char* file : {"spins.txt", "spin.txt", "main.txt", "refined.txt", "uncertainty.json"}) {
        const std::string written = read_file(fs::path("output") / file);
        EXPECT_FALSE(written.empty()) << file;
        EXPECT_TRUE(written == read_file(fs::path("cli/output") / file)) << file << " differs from the command line's";
    }
    EXPECT_NE(read_file("output/run.json").find("\"spin_search\""), std::string::npos);
    std::string words[5], why;
    ASSERT_TRUE(read_spin_words("output/spin.txt", words, why)) << why;
    // The spin fields hold the best spin, as spin.txt has it; the epoch
    // stays as typed, as on the command line.
    const std::pair<int, int> fields[] = {{ctl::lambda, 0}, {ctl::beta, 1}, {ctl::period, 2}, {ctl::phi0, 4}};
    for (const auto& [id, word] : fields) EXPECT_EQ(edit(id)->text().toStdString(), words[word]) << word;
    EXPECT_EQ(edit(ctl::epoch)->text(), "0");
}

// Cancel stops the pole search; no sweep follows, and the buttons come back.
TEST_F(DialogTest, CancelStopsThePoleSearch)
{
    scratch_dir dir;
    get<QComboBox>(ctl::fit)->setCurrentText("chi2");
    edit(ctl::path)->setText(QString::fromStdString(data_file("twin_three_geometries.zel")));
    edit(ctl::subdivisions)->setText("1");
    click(ctl::generate_geosphere);
    click(ctl::load_lightcurve);
    for (const char* refused : {"3", "-1", "16", "x"}) {
        edit(dialog_ctl::pole)->setText(refused);
        click(ctl::generate_shapes);
        EXPECT_FALSE(dialog->searching()) << refused;
        EXPECT_EQ(text(ctl::status_line).rfind("Pole K must be 1, 2, 4 or 8", 0), 0u) << text(ctl::status_line);
    }
    edit(dialog_ctl::pole)->setText("8");  // 768 poles: far more than the test waits for
    click(ctl::generate_shapes);
    ASSERT_TRUE(dialog->searching()) << text(ctl::status_line);
    QTest::qWait(300);
    click(ctl::cancel);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dialog->searching(); }, 20000));
    EXPECT_EQ(text(ctl::status_line), "pole search cancelled");
    EXPECT_FALSE(app.sweep_running.load());
    EXPECT_EQ(app.cancel.load(), 0);
    EXPECT_FALSE(fs::exists("output/main.txt"));
    for (int id : {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes})
        EXPECT_TRUE(button(id)->isEnabled()) << id;
}
