#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "sweep/block_share.hpp"
#include "sweep/shape_grid.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// The command line in folder `dir` with the given options after the common ones.
int in_folder(const fs::path& dir, const std::string& common, const std::string& more, std::string& out)
{
    return run_command(cli + " -C " + dir.string() + " " + common + " " + more, out);
}

// A folder with its own copy of nothing: the observation file is given by path.
fs::path folder(const std::string& name)
{
    fs::create_directories(name);
    return fs::absolute(name);
}

// Runs every shard of `shards` in `dir`, then merge; true when all succeeded.
bool shards_and_merge(const fs::path& dir, const std::string& common, int shards, std::string& out)
{
    for (int k = 1; k <= shards; ++k) {
        const std::string shard = " --shard " + std::to_string(k) + "/" + std::to_string(shards);
        if (in_folder(dir, common, shard, out) != 0) return false;
    }
    return run_command(cli + " -C " + dir.string() + " merge", out) == 0;
}

TEST(ShardPlan, EveryBlockInOneShardAndTheShardsBalanced)
{
    for (double step : {0.25, 0.1}) {
        const std::vector<grid_block> blocks = list_grid_blocks(step);
        int64_t largest = 0, total = 0;
        for (const grid_block& b : blocks) {
            largest = std::max<int64_t>(largest, b.count);
            total += b.count;
        }
        EXPECT_EQ(total, count_grid(step, INT64_MAX).shapes);
        for (int s : {1, 3, 7, 64}) {
            std::vector<int> owners(blocks.size(), 0);
            int64_t most = 0, least = INT64_MAX;
            for (int k = 1; k <= s; ++k) {
                int64_t shapes = 0;
                for (std::size_t b : shard_blocks(blocks, k, s)) {
                    ++owners[b];
                    shapes += blocks[b].count;
                }
                most = std::max(most, shapes);
                least = std::min(least, shapes);
            }
            EXPECT_TRUE(std::all_of(owners.begin(), owners.end(), [](int n) { return n == 1; })) << s;
            EXPECT_LE(most - least, largest) << "step " << step << ", " << s << " shards";
        }
    }
}

TEST(Shards, MergedTheyWriteWhatOneProcessWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string plain = "--path " + data_file("test.zel") + " --subdivisions 2 --step 0.25 --threads 1";
    const std::string joint =
        "--path " + data_file("twin_three_geometries.zel") + " --subdivisions 1 --step 0.5 --threads 2 --blocks all";
    for (const std::string& common : {plain, joint}) {
        const fs::path one = folder("one"), split = folder("split");
        // One process on the scalar loops, the shards on the best level.
        ASSERT_EQ(run_command("MORVANE_SIMD=scalar " + cli + " -C " + one.string() + " " + common, out), 0) << out;
        ASSERT_TRUE(shards_and_merge(split, common, 3, out)) << out;
        EXPECT_NE(out.find("merged 3 shards"), std::string::npos) << out;
        EXPECT_EQ(result_differences(result_files(one), result_files(split)), "");
        EXPECT_GT(result_files(split).size(), 12u);
        fs::remove_all(one);
        fs::remove_all(split);
    }
}

TEST(Shards, MergeRefusesAMissingOrForeignShard)
{
    scratch_dir dir;
    std::string out;
    const fs::path run = folder("run");
    const std::string common = "--path " + data_file("test.zel") + " --subdivisions 1 --step 0.5 --threads 1";
    ASSERT_EQ(in_folder(run, common, "--shard 1/3", out), 0) << out;
    ASSERT_EQ(in_folder(run, common, "--shard 3/3", out), 0) << out;
    EXPECT_EQ(run_command(cli + " -C run merge", out), 2);
    EXPECT_NE(out.find("shard 2 of 3 is missing"), std::string::npos) << out;
    ASSERT_EQ(in_folder(run, common, "--shard 2/3 --fit offset", out), 0) << out;
    EXPECT_EQ(run_command(cli + " -C run merge", out), 2);
    EXPECT_NE(out.find("shard 2 of 3 comes from other inputs"), std::string::npos) << out;
    EXPECT_NE(out.find("fit"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists("run/output/main.txt"));
    // Redone with the same inputs, the shards merge.
    ASSERT_EQ(in_folder(run, common, "--shard 2/3", out), 0) << out;
    EXPECT_EQ(run_command(cli + " -C run merge", out), 0) << out;
    EXPECT_TRUE(fs::exists("run/output/main.txt"));
    EXPECT_TRUE(fs::exists("run/output/best.obj"));
    for (const char* shard : {"0/3", "4/3", "2", "a/b", "1/0"}) {
        EXPECT_EQ(in_folder(run, common, std::string("--shard ") + shard, out), 2) << shard;
        EXPECT_NE(out.find("K/S"), std::string::npos) << out;
    }
}

TEST(Shards, AnInterruptedShardResumesToTheSameFiles)
{
    scratch_dir dir;
    std::string out;
    const std::string common = "--path " + data_file("test.zel") + " --subdivisions 3 --step 0.25 --threads 1";
    const fs::path one = folder("one"), split = folder("split");
    ASSERT_EQ(in_folder(one, common, "", out), 0) << out;
    ASSERT_EQ(in_folder(split, common, "--shard 1/2", out), 0) << out;
    // Shard 2 stopped once it has journalled some rows, then resumed.
    const pid_t pid = start_command(cli + " -C split " + common + " --shard 2/2 >/dev/null 2>&1");
    const fs::path journal = split / "output/journal.shard-2-of-2.txt";
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!fs::exists(journal) || journal_rows(journal) < 20) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGINT);
    EXPECT_EQ(wait_command(pid), 130);
    EXPECT_EQ(run_command(cli + " -C split merge", out), 2);
    EXPECT_NE(out.find("shard 2 of 2 has not completed (cancelled)"), std::string::npos) << out;
    ASSERT_EQ(in_folder(split, common, "--shard 2/2 --resume", out), 0) << out;
    ASSERT_EQ(run_command(cli + " -C split merge", out), 0) << out;
    EXPECT_EQ(result_differences(result_files(one), result_files(split)), "");
}

TEST(Shards, NoCurvesKeepsTheTablesAndWritesNoLightcurve)
{
    scratch_dir dir;
    std::string out;
    const std::string common = "--path " + data_file("test.zel") + " --subdivisions 2 --step 0.25 --threads 2";
    const fs::path with = folder("with"), without = folder("without");
    ASSERT_EQ(in_folder(with, common, "", out), 0) << out;
    ASSERT_EQ(in_folder(without, common, "--no-curves", out), 0) << out;
    EXPECT_EQ(read_file(with / "output/main.txt"), read_file(without / "output/main.txt"));
    EXPECT_FALSE(fs::exists(without / "output/00001.lc.txt"));
    EXPECT_TRUE(fs::exists(with / "output/00001.lc.txt"));
    EXPECT_NE(read_file(without / "output/run.json").find("\"curves\": false"), std::string::npos);
    // A resume must be asked with the same choice.
    EXPECT_EQ(in_folder(without, common, "--resume", out), 2);
    EXPECT_NE(out.find("curves"), std::string::npos) << out;
}

// Shards started at the same moment in a fresh folder (a job array's tasks
// on one node, or on nodes sharing the folder) each write their own files,
// and the files they share whole and alike: every shard completes and,
// merged, they give one process's files, every time.
TEST(Shards, StartedTogetherTheyWriteWhatOneProcessWrites)
{
    scratch_dir dir;
    std::string out;
    const std::string common = "--path " + data_file("twin_three_geometries.zel") +
                               " --blocks all --subdivisions 1 --step 0.5 --threads 1 --no-curves";
    const fs::path one = folder("one");
    ASSERT_EQ(in_folder(one, common, "", out), 0) << out;
    const auto expected = result_files(one);
    constexpr int shards = 8;
    for (int trial = 0; trial < 20; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const fs::path split = folder("split");
        std::vector<pid_t> started;
        for (int k = 1; k <= shards; ++k)
            started.push_back(start_command(cli + " -C " + split.string() + " " + common + " --shard " +
                                            std::to_string(k) + "/" + std::to_string(shards) + " >shard" +
                                            std::to_string(k) + ".txt 2>&1"));
        for (int k = 1; k <= shards; ++k)
            EXPECT_EQ(wait_command(started[k - 1]), 0)
                << "shard " << k << ": " << read_file("shard" + std::to_string(k) + ".txt");
        ASSERT_EQ(run_command(cli + " -C " + split.string() + " merge", out), 0) << out;
        EXPECT_EQ(result_differences(expected, result_files(split)), "");
        for (const char* shared : {"basic_shape_1.obj", "ref_lc.txt", "ref_lc_interpolated.txt"})
            EXPECT_EQ(read_file(split / shared), read_file(one / shared)) << shared;
        // No temporary or probe is left behind.
        for (const fs::path& in : {split, split / "output"})
            for (const auto& entry : fs::directory_iterator(in)) {
                const std::string name = entry.path().filename().string();
                EXPECT_TRUE(name.find(".part") == std::string::npos && name.find("probe") == std::string::npos)
                    << entry.path();
            }
        fs::remove_all(split);
    }
}

}  // namespace
