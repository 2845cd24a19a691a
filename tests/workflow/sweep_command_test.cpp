#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "common/control_ids.hpp"
#include "support/pipeline.hpp"
#include "support/printed.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/controller.hpp"

namespace {

// While one lives, every file of this process stops growing at `bytes`
// (writes past it fail with "File too large", as on a full disk) from the
// moment the sweep says it starts comparing shapes, its folder made ready,
// or at once (`from_start`). 0 bytes: no limit.
struct size_limit_once_started {
    recording_front_end& ui;
    rlimit saved{};
    void (*saved_handler)(int) = SIG_DFL;

    size_limit_once_started(recording_front_end& front_end, rlim_t bytes, bool from_start = false) : ui(front_end)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        saved_handler = std::signal(SIGXFSZ, SIG_IGN);
        if (bytes == 0) return;
        const rlimit limit{bytes, saved.rlim_max};
        if (from_start) setrlimit(RLIMIT_FSIZE, &limit);
        ui.on_status_text = [limit](const std::string& text) {
            if (text.rfind("generating and comparing", 0) == 0) setrlimit(RLIMIT_FSIZE, &limit);
        };
    }
    ~size_limit_once_started()
    {
        ui.on_status_text = nullptr;
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, saved_handler);
    }
};

struct SweepCommand : ::testing::Test {
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    void SetUp() override
    {
        on_init(app, &ui);
        std::filesystem::copy_file(data_file("test.zel"), "test.zel");
        ASSERT_TRUE(geosphere_and_load(app, ui, 1, "test.zel"));
        ui.clear_calls();
    }
    // Starts a sweep with the given step and threads and waits for its end.
    command_outcome sweep(const std::string& step, const std::string& threads = "1")
    {
        ui.set_field(ctl::step_size, step);
        ui.set_field(ctl::threads, threads);
        command_outcome outcome = on_command(app, ctl::generate_shapes);
        wait_for_sweep(app);
        return outcome;
    }
    std::vector<std::string> status_texts() const
    {
        std::vector<std::string> texts;
        for (const auto& c : ui.calls())
            if (c.op == "text" && c.id == ctl::status_line) texts.push_back(c.text);
        return texts;
    }
};

}  // namespace

TEST_F(SweepCommand, StepOneGivesOneShape)
{
    ASSERT_TRUE(sweep("1").done);
    EXPECT_EQ(app.last_sweep_result.load(), 1u);
    const auto texts = status_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "generating and comparing 1 shapes...");
    std::vector<double> timing;
    EXPECT_TRUE(printed_by(texts[1], "generated and compared 1 shapes in %.3f seconds (%.3f shapes/sec)", &timing))
        << texts[1];
    if (timing.size() == 2) {
        EXPECT_GE(timing[0], 0.0);
        EXPECT_GT(timing[1], 0.0);
    }
    EXPECT_EQ(ui.text_of(ctl::step_size_label), "Step Size: 1.000000");
    EXPECT_EQ(ui.progress(), (std::vector<int>{100, 0}));
    const auto rows = read_lines("output/main.txt");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(0, 65), "1 1.000000 0.500000 0.250000 0.100000 0.050000 0.025000 0.900000 ");
    double shift = -1, misfit = -1;
    ASSERT_EQ(std::sscanf(rows[0].c_str() + 65, "%lf %lf", &shift, &misfit), 2);
    EXPECT_GE(shift, 0.0);
    EXPECT_LE(shift, 1.0);
    EXPECT_GT(misfit, 0.0);
    const auto curve = read_lines("output/00001.lc.txt");
    ASSERT_EQ(curve.size(), 150u);
    // Time and brightness, six decimals each; the first time is the first observation's.
    std::vector<double> first;
    EXPECT_TRUE(printed_by(curve[0], "2451545.000000 %.6f", &first)) << curve[0];
    if (first.size() == 1) {
        EXPECT_GT(first[0], 0.0);
        EXPECT_LT(first[0], 1.0);
    }
    EXPECT_EQ(app.result_table.load(), nullptr);
    // No temporary is left, whatever its name.
    for (const auto& entry : std::filesystem::directory_iterator("output"))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

TEST_F(SweepCommand, HalfStepProgressAndRows)
{
    ASSERT_TRUE(sweep("0.5").done);
    EXPECT_EQ(ui.progress(), (std::vector<int>{33, 66, 100, 0}));
    const auto rows = read_lines("output/main.txt");
    ASSERT_EQ(rows.size(), 12u);
    for (int k = 1; k <= 12; ++k) {
        EXPECT_EQ(rows[static_cast<std::size_t>(k - 1)].rfind(std::to_string(k) + " 1.000000 ", 0), 0u);
        char name[64];
        std::snprintf(name, sizeof name, "output/%05d.lc.txt", k);
        EXPECT_TRUE(std::filesystem::exists(name)) << name;
    }
}

TEST_F(SweepCommand, CancelBeforeTheSweepStopsItAtTheFirstCheck)
{
    on_command(app, ctl::cancel);
    ASSERT_TRUE(sweep("0.5").done);
    EXPECT_EQ(app.last_sweep_result.load(), 0u);
    EXPECT_EQ(app.cancel.load(), 0);
    EXPECT_EQ(status_texts().back(), "aborted by user");
    EXPECT_EQ(ui.progress(), (std::vector<int>{0}));
    EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
    EXPECT_FALSE(std::filesystem::exists("output/00001.lc.txt"));
}

TEST_F(SweepCommand, CancelMidSweepLeavesNoSummary)
{
    ui.set_field(ctl::step_size, "0.2");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    while (!std::filesystem::exists("output/00002.lc.txt")) std::this_thread::yield();
    on_command(app, ctl::cancel);
    wait_for_sweep(app);
    EXPECT_EQ(status_texts().back(), "aborted by user");
    EXPECT_EQ(ui.progress().back(), 0);
    EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
    EXPECT_EQ(app.cancel.load(), 0);
}

TEST_F(SweepCommand, RefusedFieldsStartNothing)
{
    for (const char* step : {"0.5x", "", "word"}) {
        ui.set_field(ctl::step_size, step);
        EXPECT_FALSE(on_command(app, ctl::generate_shapes).done);
    }
    ui.set_field(ctl::step_size, "0.5");
    for (const char* threads : {"0", "51", "two", "1.5"}) {
        ui.set_field(ctl::threads, threads);
        EXPECT_FALSE(on_command(app, ctl::generate_shapes).done);
    }
    EXPECT_TRUE(ui.calls().empty());
    EXPECT_FALSE(app.worker.joinable());
}

TEST_F(SweepCommand, StepsThatNeverEndAreRefusedVisibly)
{
    for (const char* step : {"0", "-0.5", "nan", "inf", "1e-9"}) {
        ui.clear_calls();
        const command_outcome outcome = sweep(step);
        EXPECT_FALSE(outcome.done) << step;
        ASSERT_EQ(status_texts().size(), 1u) << step;
        EXPECT_EQ(status_texts()[0], outcome.reason);
        EXPECT_FALSE(app.worker.joinable());
    }
}

TEST_F(SweepCommand, OutputDirectoryIsCreatedOrTheSweepRefused)
{
    ASSERT_TRUE(sweep("1").done);
    EXPECT_TRUE(std::filesystem::is_directory("output"));
    std::filesystem::remove_all("output");
    write_file("output", "a file where the directory should be");
    ui.clear_calls();
    EXPECT_FALSE(sweep("1").done);
    EXPECT_NE(ui.text_of(ctl::status_line).find("output"), std::string::npos);
}

TEST_F(SweepCommand, OneSweepAtATime)
{
    ui.set_field(ctl::step_size, "0.2");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    const command_outcome second = on_command(app, ctl::generate_shapes);
    EXPECT_FALSE(second.done);
    EXPECT_NE(second.reason.find("already running"), std::string::npos);
    on_command(app, ctl::cancel);
    wait_for_sweep(app);
}

TEST_F(SweepCommand, SummaryIsReplacedWhole)
{
    std::filesystem::create_directory("output");
    write_file("output/main.txt", "an earlier table\n");
    ASSERT_TRUE(sweep("1").done);
    EXPECT_EQ(read_lines("output/main.txt").size(), 1u);
}

TEST(SweepRecovery, GeneratingShapeRanksFirst)
{
    // data/test.zel was made from shape 7 of the step-0.5 grid at n = 3.
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    on_init(app, &ui);
    ASSERT_TRUE(geosphere_and_load(app, ui, 3, data_file("test.zel")));
    ui.set_field(ctl::step_size, "0.5");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    wait_for_sweep(app);
    const auto rows = read_lines("output/main.txt");
    ASSERT_EQ(rows.size(), 12u);
    int best = 0;
    double best_misfit = INFINITY;
    for (const auto& row : rows) {
        int k;
        double p[7], shift, misfit;
        ASSERT_EQ(std::sscanf(row.c_str(), "%d %lf %lf %lf %lf %lf %lf %lf %lf %lf", &k, &p[0], &p[1], &p[2], &p[3],
                              &p[4], &p[5], &p[6], &shift, &misfit),
                  10);
        if (misfit < best_misfit) best_misfit = misfit, best = k;
    }
    EXPECT_EQ(best, 7);
    EXPECT_LT(best_misfit, 1e-3);
}

TEST_F(SweepCommand, AShapeThatFailsEndsTheRunAndNoRowLooksValid)
{
    // A file that cannot be created, and files whose writes fail (past a
    // size limit set once the sweep has begun, as on a full disk).
    const struct {
        sweep_path path;
        bool full;
        const char* reason;
    } cases[] = {
        {sweep_path::reference, false, "cannot create output/00002.lc.txt: Is a directory"},
        {sweep_path::fast, false, "cannot create output/00002.lc.txt: Is a directory"},
        {sweep_path::reference, true, "cannot write output/00001.lc.txt: File too large"},
        {sweep_path::fast, true, "cannot write output/00001.lc.txt: File too large"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all("output");
        std::filesystem::create_directories("output");
        if (!c.full) std::filesystem::create_directories("output/00002.lc.txt");
        // A lightcurve file takes 3600 bytes, the records of the run less.
        size_limit_once_started limit(ui, c.full ? 2000 : 0);
        app.path = c.path;
        ui.clear_calls();
        ASSERT_TRUE(sweep("0.5").done);
        EXPECT_EQ(app.last_sweep_result.load(), 0u);
        EXPECT_EQ(app.last_outcome.status, sweep_status::failed);
        EXPECT_EQ(app.last_outcome.reason, c.reason);
        EXPECT_EQ(ui.text_of(ctl::status_line), std::string("sweep failed: ") + c.reason);
        EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
        // The rows finished before the failure, and only those.
        for (const auto& row : read_lines("output/main.partial.txt")) EXPECT_EQ(row.find("nan"), std::string::npos);
        EXPECT_NE(read_file("output/run.json").find("\"failed\""), std::string::npos);
    }
}

// The manifest is part of the result: one that cannot be written at the
// start refuses the sweep before any shape, at the end fails it.
TEST_F(SweepCommand, AManifestThatCannotBeWrittenStopsTheRun)
{
    const struct {
        bool from_start;
        bool started;
        const char* reason;
    } cases[] = {
        {true, false, "cannot write output/run.json: File too large"},
        {false, true, "cannot write output/run.json: File too large"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all("output");
        // The manifest takes about 700 bytes; one shape's rows less than 200.
        app.share.no_curves = true;
        size_limit_once_started limit(ui, 500, c.from_start);
        const command_outcome outcome = sweep("1");
        EXPECT_EQ(outcome.done, c.started);
        if (c.started) {
            EXPECT_EQ(app.last_outcome.status, sweep_status::failed);
            EXPECT_EQ(app.last_outcome.reason, c.reason);
            EXPECT_EQ(ui.text_of(ctl::status_line), std::string("sweep failed: ") + c.reason);
        } else {
            EXPECT_EQ(outcome.reason, c.reason);
            EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
        }
        EXPECT_EQ(app.last_sweep_result.load(), 0u);
        EXPECT_FALSE(std::filesystem::exists("output/run.json") &&
                     read_file("output/run.json").find("\"complete\"") != std::string::npos);
        app.share.no_curves = false;
    }
}

TEST_F(SweepCommand, ASecondControllerInTheFolderIsRefusedWhileASweepRuns)
{
    // Another front end (a dialog, say) in the same working folder.
    recording_front_end other_ui;
    app_state other;
    on_init(other, &other_ui);
    ASSERT_TRUE(geosphere_and_load(other, other_ui, 1, "test.zel"));
    ui.set_field(ctl::step_size, "0.2");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    other_ui.set_field(ctl::step_size, "0.5");
    const command_outcome refused = on_command(other, ctl::generate_shapes);
    wait_for_sweep(app);
    EXPECT_FALSE(refused.done);
    EXPECT_NE(refused.reason.find("another run (pid " + std::to_string(getpid()) + ") holds this folder"),
              std::string::npos)
        << refused.reason;
    EXPECT_EQ(other_ui.text_of(ctl::status_line), refused.reason);
    EXPECT_EQ(read_lines("output/main.txt").size(), 826u);
    // The sweep gave the folder back when it ended.
    EXPECT_TRUE(on_command(other, ctl::generate_shapes).done);
    wait_for_sweep(other);
    EXPECT_EQ(read_lines("output/main.txt").size(), 12u);
}

TEST_F(SweepCommand, NoFiniteMisfitIsAFailure)
{
    // The earth exactly behind the body from the sun: no facet is both lit
    // and seen, every brightness is 0 and no magnitude is finite.
    write_file("behind.zel", "1\n3 0\n2451545.0 1 1 0 0 -1 0 0\n2451545.5 2 1 0 0 -1 0 0\n2451546.0 1 1 0 0 -1 0 0\n");
    ui.set_field(ctl::path, "behind.zel");
    ASSERT_TRUE(on_command(app, ctl::load_lightcurve).done);
    ASSERT_TRUE(sweep("0.5").done);
    EXPECT_EQ(app.last_outcome.status, sweep_status::failed);
    EXPECT_NE(app.last_outcome.reason.find("no shape got a finite misfit"), std::string::npos);
    EXPECT_NE(read_file("output/run.json").find("\"status\": \"failed\""), std::string::npos);
}

TEST_F(SweepCommand, AJournalThatCannotBeWrittenLeavesThePreviousRunWhole)
{
    // The sweep command alone, without the command line's checks before it.
    ASSERT_TRUE(sweep("0.5").done);
    std::filesystem::remove("output/journal.txt");
    std::filesystem::create_directory("output/journal.txt");
    const std::string table = read_file("output/main.txt");
    const std::string manifest = read_file("output/run.json");
    const command_outcome refused = sweep("0.9");
    EXPECT_FALSE(refused.done);
    EXPECT_NE(refused.reason.find("cannot create output/journal.txt"), std::string::npos) << refused.reason;
    EXPECT_EQ(read_file("output/main.txt"), table);
    EXPECT_EQ(read_file("output/run.json"), manifest);
    EXPECT_TRUE(std::filesystem::exists("output/00012.lc.txt"));
}
