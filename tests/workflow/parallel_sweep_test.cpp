#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/control_ids.hpp"
#include "common/simd.hpp"
#include "support/failing_allocations.hpp"
#include "support/pipeline.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/controller.hpp"

namespace fs = std::filesystem;

namespace {

// The results of a sweep's output directory, by name: the lightcurves and
// the summary (the manifest holds times, the journal rows in finishing order).
std::map<std::string, std::string> output_files()
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator("output")) {
        const std::string name = entry.path().filename().string();
        if (name != "run.json" && name != "journal.txt") files[name] = read_file(entry.path());
    }
    return files;
}

// One sweep of n subdivisions over data/test.zel in the current directory.
void run_sweep(int n, const std::string& step, const std::string& threads, sweep_path path, recording_front_end& ui)
{
    app_state app;
    on_init(app, &ui);
    app.path = path;
    ASSERT_TRUE(geosphere_and_load(app, ui, n, data_file("test.zel")));
    ui.set_field(ctl::step_size, step);
    ui.set_field(ctl::threads, threads);
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    wait_for_sweep(app);
    ASSERT_EQ(app.last_sweep_result.load(), 1u);
}

// Starts a sweep of n subdivisions over data/test.zel on two threads and
// cancels it once the lightcurve file `after` exists.
void start_and_cancel(app_state& app, recording_front_end& ui, int n, const std::string& step, const std::string& after)
{
    on_init(app, &ui);
    ASSERT_TRUE(geosphere_and_load(app, ui, n, data_file("test.zel")));
    ui.set_field(ctl::step_size, step);
    ui.set_field(ctl::threads, "2");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    while (!fs::exists(after)) std::this_thread::yield();
    on_command(app, ctl::cancel);
    wait_for_sweep(app);
}

}  // namespace

TEST(ParallelSweep, EveryPathAndThreadCountWritesTheSameFiles)
{
    scratch_dir dir;
    recording_front_end ui;
    run_sweep(2, "0.3", "1", sweep_path::reference, ui);
    const auto expected = output_files();
    ASSERT_EQ(expected.size(), 122u);  // 120 lightcurves, the summary and the samples
    // The fast path on 1, 2 and 7 threads, and on the scalar loops too
    // where the processor runs vector ones.
    struct run {
        simd_level level;
        const char* threads;
    };
    std::vector<run> runs{{best_simd_level(), "1"}, {best_simd_level(), "2"}, {best_simd_level(), "7"}};
    if (best_simd_level() != simd_level::scalar) runs.push_back({simd_level::scalar, "2"});
    for (const run& r : runs) {
        force_simd_level(r.level);
        fs::remove_all("output");
        recording_front_end again;
        run_sweep(2, "0.3", r.threads, sweep_path::fast, again);
        EXPECT_TRUE(again.boxes().empty()) << r.threads;
        EXPECT_TRUE(output_files() == expected) << simd_name(r.level) << ", " << r.threads << " threads";
    }
    force_simd_level(best_simd_level());
}

TEST(ParallelSweep, ProgressRisesToOneHundredThenZero)
{
    scratch_dir dir;
    recording_front_end ui;
    run_sweep(1, "0.2", "3", sweep_path::fast, ui);
    const std::vector<int> progress = ui.progress();
    ASSERT_EQ(progress.size(), 8u);  // seven level-2 values, then the reset
    for (std::size_t i = 1; i + 1 < progress.size(); ++i) EXPECT_GT(progress[i], progress[i - 1]);
    EXPECT_EQ(progress[progress.size() - 2], 100);
    EXPECT_EQ(progress.back(), 0);
    EXPECT_NE(ui.text_of(ctl::status_line).find("generated and compared 826 shapes"), std::string::npos);
}

TEST(ParallelSweep, CancelStopsEveryThreadAndLeavesNoSummary)
{
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    start_and_cancel(app, ui, 3, "0.2", "output/00003.lc.txt");
    EXPECT_EQ(app.last_sweep_result.load(), 0u);
    EXPECT_EQ(ui.text_of(ctl::status_line), "aborted by user");
    EXPECT_EQ(ui.progress().back(), 0);
    EXPECT_EQ(app.cancel.load(), 0);
    EXPECT_FALSE(fs::exists("output/main.txt"));
    // Stopped promptly: far fewer than the 826 shapes were written.
    std::size_t written = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("output")) ++written;
    EXPECT_LT(written, 200u);
}

TEST(ParallelSweep, ACancelledSweepResumedOnEitherPathMatchesAnUninterruptedOne)
{
    scratch_dir whole;
    recording_front_end ui;
    run_sweep(2, "0.3", "1", sweep_path::reference, ui);
    const auto expected = output_files();
    for (sweep_path path : {sweep_path::reference, sweep_path::fast}) {
        scratch_dir dir;
        recording_front_end again;
        app_state app;
        app.path = path;
        start_and_cancel(app, again, 2, "0.3", "output/00030.lc.txt");
        ASSERT_EQ(app.last_outcome.status, sweep_status::cancelled);
        const int32_t finished = app.last_outcome.finished;
        EXPECT_GT(finished, 0);
        EXPECT_EQ(read_lines("output/main.partial.txt").size(), static_cast<std::size_t>(finished));
        app.resume = true;
        ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
        wait_for_sweep(app);
        ASSERT_EQ(app.last_outcome.status, sweep_status::complete);
        EXPECT_TRUE(output_files() == expected) << (path == sweep_path::fast ? "fast" : "reference");
        EXPECT_NE(read_file("output/run.json").find("\"resumed_shapes\": " + std::to_string(finished)),
                  std::string::npos);
    }
}

TEST(ParallelSweep, RateReportsCountTheShapesOfThisRun)
{
    scratch_dir dir;
    recording_front_end ui;
    run_sweep(3, "0.3", "2", sweep_path::fast, ui);
    const auto rates = ui.texts_of("rate");
    ASSERT_FALSE(rates.empty());  // a sweep of about a second reports at least once
    int last = 0;
    for (const auto& c : ui.calls()) {
        if (c.op != "rate") continue;
        EXPECT_GT(c.id, last);
        EXPECT_LE(c.id, 120);
        EXPECT_EQ(c.text, std::to_string(c.id) + "/120");
        last = c.id;
    }
}

TEST(ParallelSweep, AnAllocationThatFailsEndsTheSweepAsOutOfMemory)
{
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    on_init(app, &ui);
    ASSERT_TRUE(geosphere_and_load(app, ui, 3, data_file("test.zel")));
    ui.set_field(ctl::step_size, "0.5");
    ui.set_field(ctl::threads, "2");
    {
        // The walk's vertex arrays (the base copy, each thread's deformed copy) cannot be had.
        const std::size_t bytes = app.base->vertices.size() * sizeof(vec3);
        failing_allocations fail(bytes, bytes);
        ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
        wait_for_sweep(app);
    }
    EXPECT_EQ(app.last_outcome.status, sweep_status::failed);
    EXPECT_TRUE(app.last_outcome.out_of_memory);
    EXPECT_NE(app.last_outcome.reason.find("not enough memory"), std::string::npos) << app.last_outcome.reason;
    // The same sweep with its memory completes, and a failure of another kind is not one of memory.
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    wait_for_sweep(app);
    EXPECT_EQ(app.last_outcome.status, sweep_status::complete);
    EXPECT_FALSE(app.last_outcome.out_of_memory);
    fs::remove("output/00003.lc.txt");
    fs::create_directory("output/00003.lc.txt");
    ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
    wait_for_sweep(app);
    EXPECT_EQ(app.last_outcome.status, sweep_status::failed);
    EXPECT_FALSE(app.last_outcome.out_of_memory) << app.last_outcome.reason;
}
