#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// mpirun with R ranks of morvane-mpi, allowed to run as root (as in CI) and
// to place more ranks than cores.
std::string mpirun(int ranks)
{
    return std::string("env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 ") + MORVANE_MPIRUN +
           " --oversubscribe -n " + std::to_string(ranks) + " " + MORVANE_MPI;
}

// A fresh folder for one run.
fs::path folder(const std::string& name)
{
    fs::remove_all(name);
    fs::create_directories(name);
    return fs::absolute(name);
}

// The rank number of a running morvane-mpi process, from its environment.
int rank_of(pid_t pid)
{
    const std::string environment = read_file("/proc/" + std::to_string(pid) + "/environ");
    const std::string key = std::string("OMPI_COMM_WORLD_RANK=");
    const std::size_t at = environment.find(key);
    return at == std::string::npos ? -1 : std::atoi(environment.c_str() + at + key.size());
}

// The pid of the rank-`rank` process of the run in `run` (its folder is in
// its command line), or 0 when there is none.
pid_t rank_pid(const fs::path& run, int rank)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::atoi(name.c_str());
        const std::string command = read_file(entry.path() / "cmdline");
        if (command.find("morvane-mpi") != std::string::npos && command.find(run.string()) != std::string::npos &&
            rank_of(pid) == rank)
            return pid;
    }
    return 0;
}

// Waits at most `limit` for a started command; its exit code, or -1 when
// it is still running.
int wait_command_for(pid_t pid, std::chrono::seconds limit)
{
    const auto give_up = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits until `file` has at least `lines` lines (or a minute has passed).
void wait_for_lines(const fs::path& file, std::size_t lines)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!fs::exists(file) || read_lines(file).size() < lines) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(Mpi, AnyRanksAndThreadsWriteWhatOneThreadWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("test.zel") + " --subdivisions 2 --step 0.25";
    // One thread on the scalar loops; the ranks on the best level.
    ASSERT_EQ(
        run_command("MORVANE_SIMD=scalar " + cli + " -C " + folder("one").string() + common + " --threads 1", out), 0)
        << out;
    const auto expected = result_files("one");
    ASSERT_EQ(expected.size(), 280u + 3u);  // lightcurves, table, samples, best shape
    for (int ranks : {1, 2, 3, 4})
        for (int threads : {1, 2}) {
            const fs::path run = folder("ranks");
            ASSERT_EQ(
                run_command(mpirun(ranks) + " -C " + run.string() + common + " --threads " + std::to_string(threads),
                            out),
                0)
                << out;
            EXPECT_EQ(result_differences(expected, result_files(run)), "") << ranks << " ranks, " << threads;
            EXPECT_NE(read_file(run / "output/run.json").find("\"ranks\": " + std::to_string(ranks)),
                      std::string::npos);
            EXPECT_EQ(journal_rows(run / "output/journal.txt"), 280u);
        }
}

TEST(Mpi, AJointFitOverRanksWritesWhatOneProcessWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string common =
        " --path " + data_file("twin_three_geometries.zel") + " --subdivisions 1 --step 0.5 --blocks all --fit offset";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common + " --threads 1", out), 0) << out;
    ASSERT_EQ(run_command(mpirun(3) + " -C " + folder("ranks").string() + common + " --threads 1", out), 0) << out;
    EXPECT_EQ(result_differences(result_files("one"), result_files("ranks")), "");
    EXPECT_TRUE(fs::exists("ranks/output/fits.csv"));
}

// A spin search shared by 1, 2 and 3 ranks: each level's spins dealt among
// them, the spins, the best spin and the files after it the one process's.
TEST(Mpi, ASpinSearchOverRanksWritesWhatOneProcessWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("twin_three_geometries.zel") +
                               " --period 7.5 --subdivisions 1 --step 0.9 --fit chi2 --pole-nside 1 "
                               "--pole-levels 1 --scan-subdivisions 1 --refine 1 --refine-effort 0.02";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common + " --threads 2", out), 0) << out;
    for (int ranks : {1, 2, 3}) {
        ASSERT_EQ(run_command(mpirun(ranks) + " -C " + folder("ranks").string() + common + " --threads 1", out), 0)
            << out;
        for (const char* name : {"spins.txt", "spin.txt", "refined.txt", "uncertainty.json", "main.txt"})
            EXPECT_EQ(read_file(fs::path("ranks/output") / name), read_file(fs::path("one/output") / name))
                << name << ", " << ranks << " ranks";
        EXPECT_GT(read_lines("ranks/output/spins.journal").size(), 12u);  // rank 0 journals every rank's spins
    }
}

// A chi2 fit with its refinement: the refined files too are the one
// process's, and so are the ranges.
TEST(Mpi, AChi2FitOverRanksWritesWhatOneProcessWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("twin_three_geometries.zel") +
                               " --subdivisions 1 --step 0.5 --fit chi2 --refine 2 --refine-effort 0.05";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common + " --threads 1", out), 0) << out;
    ASSERT_EQ(run_command(mpirun(3) + " -C " + folder("ranks").string() + common + " --threads 2", out), 0) << out;
    EXPECT_EQ(result_differences(result_files("one"), result_files("ranks")), "");
    EXPECT_EQ(read_lines("ranks/output/fits.csv").size(), 1u + 12u * 3u);
    EXPECT_EQ(read_file("ranks/output/refined.txt"), read_file("one/output/refined.txt"));
    EXPECT_EQ(read_file("ranks/output/uncertainty.json"), read_file("one/output/uncertainty.json"));
    EXPECT_NE(out.find("refined best"), std::string::npos) << out;
}

TEST(Mpi, AKilledRankFailsTheRunAndResumeFinishesIt)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("test.zel") + " --subdivisions 3 --step 0.25 --threads 1";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common, out), 0) << out;
    const fs::path run = folder("ranks");
    const pid_t launcher = start_command(mpirun(3) + " -C " + run.string() + common + " >ranks.log 2>&1");
    wait_for_lines(run / "output/journal.txt", 40);
    const pid_t rank_2 = rank_pid(run, 2);
    ASSERT_GT(rank_2, 0);
    ASSERT_EQ(kill(rank_2, SIGKILL), 0);
    EXPECT_NE(wait_command(launcher), 0) << read_file("ranks.log");
    EXPECT_NE(read_file(run / "output/run.json").find("\"status\": \"running\""), std::string::npos);
    EXPECT_FALSE(fs::exists(run / "output/main.txt"));
    ASSERT_EQ(run_command(mpirun(2) + " -C " + run.string() + common + " --resume", out), 0) << out;
    EXPECT_EQ(result_differences(result_files("one"), result_files(run)), "");
}

TEST(Mpi, AStoppedRankIsGivenUpAfterTheRankTimeoutAndResumeFinishesTheRun)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("test.zel") + " --subdivisions 3 --step 0.25 --threads 1";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common, out), 0) << out;
    const fs::path run = folder("stopped");
    const pid_t launcher =
        start_command(mpirun(3) + " -C " + run.string() + common + " --rank-timeout 3 >ranks.log 2>&1");
    wait_for_lines(run / "output/journal.txt", 40);
    const pid_t rank_2 = rank_pid(run, 2);
    ASSERT_GT(rank_2, 0);
    ASSERT_EQ(kill(rank_2, SIGSTOP), 0);
    // 3 s of silence, then rank 0's own block and the abort: well within the bound on a loaded machine.
    const int code = wait_command_for(launcher, std::chrono::seconds(120));
    kill(rank_2, SIGKILL);  // whether or not the job's end took it
    if (code < 0) {
        wait_command(launcher);
        FAIL() << "the run with a stopped rank did not end: " << read_file("ranks.log");
    }
    EXPECT_NE(code, 0);
    const std::string manifest = read_file(run / "output/run.json");
    EXPECT_NE(manifest.find("\"status\": \"failed\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("rank 2 sent nothing for "), std::string::npos) << manifest;
    EXPECT_NE(read_file("ranks.log").find("rank 2 sent nothing for "), std::string::npos) << read_file("ranks.log");
    EXPECT_FALSE(fs::exists(run / "output/main.txt"));
    while (fs::exists("/proc/" + std::to_string(rank_2))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(run_command(mpirun(2) + " -C " + run.string() + common + " --resume", out), 0) << out;
    EXPECT_EQ(result_differences(result_files("one"), result_files(run)), "");
}

TEST(Mpi, SigtermToMpirunCancelsEveryRankAndKeepsTheJournal)
{
    scratch_dir dir;
    std::string out;
    const std::string common = " --path " + data_file("test.zel") + " --subdivisions 3 --step 0.25 --threads 1";
    ASSERT_EQ(run_command(cli + " -C " + folder("one").string() + common, out), 0) << out;
    const fs::path run = folder("ranks");
    const pid_t launcher = start_command(mpirun(2) + " -C " + run.string() + common + " >ranks.log 2>&1");
    wait_for_lines(run / "output/journal.txt", 20);
    kill(launcher, SIGTERM);
    EXPECT_NE(wait_command(launcher), 0) << read_file("ranks.log");
    const std::size_t kept = journal_rows(run / "output/journal.txt");
    EXPECT_GE(kept, 20u);
    if (kept < 280u) {
        EXPECT_NE(read_file(run / "output/run.json").find("\"status\": \"cancelled\""), std::string::npos)
            << read_file("ranks.log");
        EXPECT_FALSE(fs::exists(run / "output/main.txt"));
    }
    ASSERT_EQ(run_command(mpirun(3) + " -C " + run.string() + common + " --resume", out), 0) << out;
    EXPECT_EQ(result_differences(result_files("one"), result_files(run)), "");
    // Every journalled shape was kept: the rows other ranks sent carried
    // their files' checksums.
    EXPECT_NE(read_file(run / "output/run.json").find("\"resumed_shapes\": " + std::to_string(kept) + ","),
              std::string::npos)
        << kept << " rows\n"
        << read_file(run / "output/run.json");
}

TEST(Mpi, AFailingRankFailsTheRunWithItsReason)
{
    scratch_dir dir;
    std::string out;
    const fs::path run = folder("ranks");
    // Shape 7's lightcurve cannot be written: a folder stands in its place.
    fs::create_directories(run / "output/00007.lc.txt");
    const std::string common = " --path " + data_file("test.zel") + " --subdivisions 1 --step 0.25 --threads 1";
    EXPECT_EQ(run_command(mpirun(3) + " -C " + run.string() + common, out) == 0, false) << out;
    EXPECT_NE(out.find("output/00007.lc.txt"), std::string::npos) << out;
    // Whichever rank drew shape 7 is named.
    EXPECT_TRUE(out.find("rank 1: ") != std::string::npos || out.find("rank 2: ") != std::string::npos ||
                out.find("the failure was on rank 0") != std::string::npos)
        << out;
    EXPECT_NE(read_file(run / "output/run.json").find("\"status\": \"failed\""), std::string::npos);
    EXPECT_FALSE(fs::exists(run / "output/main.txt"));
}

TEST(Mpi, ARefusalOnAnyRankStopsEveryRank)
{
    scratch_dir dir;
    std::string out;
    EXPECT_EQ(run_command(mpirun(2) + " --path missing.zel --subdivisions 1", out), 2) << out;
    EXPECT_NE(out.find("missing.zel"), std::string::npos) << out;
    EXPECT_EQ(run_command(mpirun(2) + " --path x --shard 1/2", out), 2) << out;
    EXPECT_NE(out.find("--shard"), std::string::npos) << out;
    EXPECT_NE(run_command(mpirun(2) + " --path x --rank-timeout 0", out), 0) << out;
    EXPECT_NE(out.find("the rank timeout must be a number of seconds greater than 0"), std::string::npos) << out;
}

}  // namespace
