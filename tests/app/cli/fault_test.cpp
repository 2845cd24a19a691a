#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// The command line on data/test.zel with n subdivisions, the step, the
// threads and any further options.
std::string sweep_command(int n, const std::string& step, const std::string& more = "", int threads = 2)
{
    return cli + " --subdivisions " + std::to_string(n) + " --path " + data_file("test.zel") + " --step " + step +
           " --threads " + std::to_string(threads) + " " + more;
}

// Every file under `dir`, by path relative to it, with its content; the
// manifest (it holds times) and the journal (rows in finishing order) left out.
std::map<std::string, std::string> results_in(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name == "run.json" || name == "journal.txt" || name == "morvane.lock") continue;
        files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
    }
    return files;
}

// Lines in a file (0 when it is missing).
std::size_t line_count(const fs::path& path)
{
    return read_lines(path).size();
}

// CPU seconds (user and system) used so far by the children this process
// has waited for, their own waited-for children included. Unlike elapsed
// time it does not grow when other work loads the machine.
double children_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Waits (at most `seconds`) until `ready` holds.
bool wait_until(const std::function<bool()>& ready, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

// Write failures driven without mounts: past the shell's file size limit
// (ulimit -f, in sh's blocks of 512 bytes, with SIGXFSZ ignored) every write fails with "File too
// large", as on a full disk; the first file to outgrow the limit is the one
// that fails. Each leaves a non-zero exit, the file and the reason on
// stderr, and no result that looks valid. (A lightcurve file, or a
// manifest, never outgrows the samples file written before it: the sweep's
// tests fail those in process.)
TEST(Faults, WriteFailuresFailTheRunAndNameTheFile)
{
    const struct {
        const char* name;
        int blocks;  // the limit, in 512 bytes
        std::string options;
        const char* reason;
        const char* absent;
    } cases[] = {
        // The base shape at n = 1 takes about 9 kB, the observations as read 36 kB.
        {"the base shape", 2, "--path " + data_file("test.zel") + " --step 0.5",
         "cannot write basic_shape_1.obj: File too large", "output/run.json"},
        {"the reference", 32, "--path " + data_file("test.zel") + " --step 0.5",
         "cannot write ref_lc.txt: File too large", "output/run.json"},
        // 826 rows of about 80 bytes; the samples file and the journal 35 kB each.
        {"the summary", 96, "--path small.zel --step 0.2 --no-curves", "cannot write output/main.txt: File too large",
         "output/main.txt"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file("small.zel", small_observation_file(40));
        // Files of an earlier run that a failed write must not destroy.
        write_file("basic_shape_1.obj", "earlier\n");
        write_file("ref_lc.txt", "earlier\n");
        std::string out;
        const int code = run_command("trap '' XFSZ; ulimit -f " + std::to_string(c.blocks) + "; " + cli +
                                         " --subdivisions 1 --threads 2 " + c.options,
                                     out);
        EXPECT_EQ(code, 1) << c.name;
        EXPECT_NE(out.find(c.reason), std::string::npos) << c.name << ":\n" << out;
        EXPECT_FALSE(fs::exists(c.absent)) << c.name;
        // A failed replacement keeps the earlier file whole, and leaves no temporary.
        const std::string name = c.name;
        EXPECT_EQ(read_file("basic_shape_1.obj") == "earlier\n", name == "the base shape") << c.name;
        EXPECT_EQ(read_file("ref_lc.txt") == "earlier\n", name != "the summary") << c.name;
        for (const char* folder : {".", "output"}) {
            if (!fs::exists(folder)) continue;
            for (const auto& entry : fs::directory_iterator(folder))
                EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << c.name << ": " << entry.path();
        }
        if (fs::exists("output/run.json")) {
            EXPECT_NE(read_file("output/run.json").find("\"status\": \"failed\""), std::string::npos) << c.name;
        }
    }
}

TEST(Faults, EveryEarlyRefusalLeavesNoFileBehind)
{
    const struct {
        const char* name;
        std::string options;
        const char* reason;
    } cases[] = {
        {"threads 0", "--threads 0", "thread count"},
        {"step 0", "--step 0", "step size"},
        {"tiny step", "--step 1e-7", "more than 2147483647 shapes"},
        {"step too large for the disk", "--step 0.02", "does not fit"},
        {"negative block", "--block -1", "block index"},
        {"period too short", "--period 1e-10", "too short"},
        {"period too long", "--period 1e300", "too long"},
        {"a FIFO", "--path fifo", "not a regular file"},
        {"times a subnormal apart", "--path subnormal.zel", "not finite"},
        {"output is a file", "--path " + data_file("test.zel") + " --step 1 --output-is-file", "output"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        mkfifo("fifo", 0600);
        write_file("subnormal.zel", "1\n2 0\n0 1 1 0 0 0 1 0\n5e-324 100 1 0 0 0 1 0\n");
        std::string options = c.options;
        const std::string marker = " --output-is-file";
        if (options.find(marker) != std::string::npos) {
            options.erase(options.find(marker));
            write_file("output", "a file where the folder goes\n");
        }
        const auto before = results_in(".");
        std::string out;
        const std::string path = options.find("--path") == std::string::npos ? " --path " + data_file("test.zel") : "";
        const std::string command = cli + " --subdivisions 2" + path + " " + options;
        // Refused before any work: a blocked open (the FIFO) ends in the
        // timeout's 124 rather than 2, and a refusal that first counted or
        // computed its way to the reason shows in the CPU time it used,
        // which, unlike the elapsed time, a loaded machine does not inflate
        // (each refusal takes milliseconds; counting a grid to its limit
        // alone takes seconds).
        const double cpu_before = children_cpu_seconds();
        EXPECT_EQ(run_command("timeout 60 " + command, out), 2) << c.name << ":\n" << out;
        EXPECT_LT(children_cpu_seconds() - cpu_before, 1.0) << c.name;
        EXPECT_NE(out.find(c.reason), std::string::npos) << c.name << ":\n" << out;
        EXPECT_EQ(results_in("."), before) << c.name;
        EXPECT_FALSE(fs::exists("morvane.lock")) << c.name;
    }
}

TEST(Faults, OneRunPerFolderAndKillReleasesTheLock)
{
    scratch_dir dir;
    const pid_t first = start_command(sweep_command(3, "0.2") + " >/dev/null 2>&1");
    ASSERT_TRUE(wait_until([] { return fs::exists("output/run.json"); }, 20));
    std::string out;
    EXPECT_EQ(run_command(sweep_command(1, "0.5"), out), 3) << out;
    EXPECT_NE(out.find("another run (pid " + std::to_string(first) + ") holds this folder"), std::string::npos) << out;
    kill(first, SIGKILL);
    EXPECT_EQ(wait_command(first), 128 + SIGKILL);
    // No stale lock to clean: the next run goes ahead.
    EXPECT_EQ(run_command(sweep_command(1, "0.5"), out), 0) << out;
}

// Killed at several points, a resumed sweep ends byte-identical to one that
// ran through; so does one stopped by SIGTERM, whose partial table holds
// only finished rows.
TEST(Faults, ResumeAfterKillOrTerminateIsByteIdentical)
{
    constexpr std::size_t shapes = 826;  // at step 0.2
    scratch_dir whole;
    std::string out;
    ASSERT_EQ(run_command(sweep_command(2, "0.2"), out), 0) << out;
    const auto expected = results_in(".");
    ASSERT_EQ(expected.count("output/00826.lc.txt"), 1u);
    std::string summary = read_file("output/main.txt");
    summary.insert(summary.begin(), '\n');  // every line, the first too, follows a line break

    // Signalled as soon as the journal holds that many rows, with at least
    // 400 of the 826 still to go (seconds of work): the signal lands mid-run
    // unless this process is starved that long. A run that finished first
    // anyway is checked as finished and resumed, and the stop is tried again.
    const struct {
        int signal;
        std::size_t after_rows;  // journal rows before the signal
    } stops[] = {{SIGKILL, 0}, {SIGKILL, 60}, {SIGKILL, 400}, {SIGTERM, 200}};
    for (const auto& stop : stops) {
        const std::string name = std::string(stop.signal == SIGKILL ? "SIGKILL" : "SIGTERM") + " after " +
                                 std::to_string(stop.after_rows) + " rows";
        bool stopped_mid_run = false;
        for (int attempt = 1; attempt <= 3 && !stopped_mid_run; ++attempt) {
            scratch_dir dir;
            const pid_t run = start_command(sweep_command(2, "0.2") + " >/dev/null 2>&1");
            // The journal is made the run's before the manifest names the run:
            // a run is resumable once both are there.
            ASSERT_TRUE(wait_until(
                [&] {
                    return fs::exists("output/run.json") && fs::exists("output/journal.txt") &&
                           journal_rows("output/journal.txt") >= stop.after_rows;
                },
                60))
                << name;
            kill(run, stop.signal);
            const int code = wait_command(run);
            const std::size_t rows = journal_rows("output/journal.txt");
            EXPECT_GE(rows, stop.after_rows) << name;
            stopped_mid_run = rows < shapes;
            if (stopped_mid_run) {
                EXPECT_EQ(code, 128 + stop.signal) << name;
                EXPECT_FALSE(fs::exists("output/main.txt")) << name;
                if (stop.signal == SIGTERM) {
                    EXPECT_NE(read_file("output/run.json").find("\"status\": \"cancelled\""), std::string::npos);
                    const auto partial = read_lines("output/main.partial.txt");
                    EXPECT_EQ(partial.size(), rows);  // every finished row, and only those
                    int last = 0;
                    for (const auto& row : partial) {
                        const int k = std::stoi(row);
                        EXPECT_GT(k, last);  // sorted by shape number
                        last = k;
                        EXPECT_NE(summary.find("\n" + row + "\n"), std::string::npos) << row;
                    }
                }
            } else {
                // Every shape was done before the signal: the run ended on its
                // own or was stopped while writing its summary.
                EXPECT_TRUE(code == 0 || code == 128 + stop.signal) << name << ": exit " << code;
            }
            ASSERT_EQ(run_command(sweep_command(2, "0.2", "--resume"), out), 0) << name << ":\n" << out;
            EXPECT_TRUE(results_in(".") == expected) << name << ", attempt " << attempt;
            EXPECT_NE(read_file("output/run.json").find("\"status\": \"complete\""), std::string::npos) << name;
        }
        EXPECT_TRUE(stopped_mid_run) << name << ": the run finished before the signal three times";
    }
}

TEST(Faults, ResumeRefusesOtherInputsAndAFolderWithoutARun)
{
    scratch_dir dir;
    std::string out;
    EXPECT_EQ(run_command(sweep_command(1, "0.5", "--resume"), out), 2) << out;
    EXPECT_NE(out.find("nothing to resume"), std::string::npos) << out;
    ASSERT_EQ(run_command(sweep_command(1, "0.5"), out), 0) << out;
    EXPECT_EQ(run_command(sweep_command(1, "0.5", "--resume --period 20"), out), 2) << out;
    EXPECT_NE(out.find("period_hours: 21.9 -> 20.0"), std::string::npos) << out;
    // A smaller rerun leaves no lightcurve of the larger one behind.
    ASSERT_EQ(run_command(sweep_command(1, "0.9"), out), 0) << out;
    std::size_t curves = 0;
    for (const auto& entry : fs::directory_iterator("output")) curves += entry.path().string().ends_with(".lc.txt");
    EXPECT_EQ(curves, 4u);
    EXPECT_EQ(line_count("output/main.txt"), 4u);
}

// Ctrl-C during a sweep of twelve shapes of 6 subdivisions (one thread)
// ends the run at once: the shapes done stay in the partial table with their
// files, the one in progress leaves no cut file, none after it starts.
TEST(Faults, CancelTakesEffectMidRunAtSixSubdivisions)
{
    constexpr std::size_t shapes = 12;  // at step 0.5
    scratch_dir dir;
    const auto launched = std::chrono::steady_clock::now();
    const pid_t run = start_command(sweep_command(6, "0.5", "", 1) + " >/dev/null 2>&1");
    ASSERT_TRUE(wait_until([] { return journal_rows("output/journal.txt") >= 1; }, 120));
    // Start-up and one shape, as long as the machine is loaded right now.
    const auto signalled = std::chrono::steady_clock::now();
    const double first_shape = std::chrono::duration<double>(signalled - launched).count();
    kill(run, SIGINT);
    EXPECT_EQ(wait_command(run), 128 + SIGINT);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    // The stop is checked within every sample of a shape, so it ends the run
    // in a small part of one shape's time; the bound (a second, or three
    // times the first shape on a loaded machine) stays well below the eleven
    // shapes left, which a run that ignored it would take.
    EXPECT_LT(took, std::max(1.0, 3 * first_shape)) << "first shape after " << first_shape << " s";
    const std::size_t done = journal_rows("output/journal.txt");
    EXPECT_GE(done, 1u);
    EXPECT_LT(done, shapes);
    EXPECT_EQ(read_lines("output/main.partial.txt").size(), done);
    for (std::size_t k = 1; k <= shapes; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "output/%05zu.lc.txt", k);
        // Finished shapes keep their files; the one in progress leaves no cut file.
        EXPECT_EQ(fs::exists(name), k <= done) << name << " with " << done << " shapes done";
    }
    EXPECT_FALSE(fs::exists("output/main.txt"));
    EXPECT_NE(read_file("output/run.json").find("\"status\": \"cancelled\""), std::string::npos);
}
