#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "sweep/shape_grid.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// The options of a small run of data/test.zel: 12 shapes.
std::string small_run()
{
    return "--path " + data_file("test.zel") + " --subdivisions 1 --step 0.5 --threads 1";
}

// `path` with every `from` replaced by `to` (the test fails when there is none).
void replace_in(const fs::path& path, const std::string& from, const std::string& to)
{
    std::string text = read_file(path);
    const std::size_t first = text.find(from);
    ASSERT_NE(first, std::string::npos) << path << ": " << from;
    for (std::size_t at = first; at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    write_file(path, text);
}

// Both shard manifests of the folder edited alike.
void in_both_shards(const std::string& from, const std::string& to)
{
    for (const char* name : {"output/run.shard-1-of-2.json", "output/run.shard-2-of-2.json"})
        replace_in(name, from, to);
}

// A folder that holds something no run writes, and what the command line
// must say when asked to work on it.
struct hostile_folder {
    const char* name;
    const char* made_from;  // "sweep", "shards" or "nothing"
    std::function<void()> make_hostile;
    std::string command;  // the words after morvane-cli
    const char* reason;   // part of the refusal on stderr
};

TEST(HostileFolders, AreRefusedWithAReasonAndExitCode2)
{
    scratch_dir dir;
    std::string out;
    // The three kinds of folder a case starts from, made once.
    fs::create_directory("sweep");
    ASSERT_EQ(run_command(cli + " -C sweep " + small_run(), out), 0) << out;
    fs::create_directory("shards");
    for (const char* shard : {"1/2", "2/2"})
        ASSERT_EQ(run_command(cli + " -C shards " + small_run() + " --shard " + shard, out), 0) << out;
    fs::create_directories("nothing/output");
    const grid_count fine = count_grid(0.02, INT32_MAX);

    const hostile_folder cases[] = {
        {"manifest is a folder, resumed", "sweep",
         [] {
             fs::remove("output/run.json");
             fs::create_directory("output/run.json");
         },
         small_run() + " --resume", "cannot read output/run.json: not a regular file"},
        {"manifest is a folder, exported", "sweep",
         [] {
             fs::remove("output/run.json");
             fs::create_directory("output/run.json");
         },
         "export --shape 1", "cannot read output/run.json: not a regular file"},
        {"manifest with an unknown fit, exported", "sweep",
         [] { replace_in("output/run.json", "\"fit\": \"range\"", "\"fit\": \"bogus\""); }, "export --shape 1",
         "inputs.fit \"bogus\" is not range, offset or chi2"},
        {"a shard of two billion", "nothing", [] { write_file("output/run.shard-1-of-2000000000.json", ""); }, "merge",
         "output/run.shard-1-of-2000000000.json names no shard of a run"},
        {"shapes 1e11", "shards", [] { in_both_shards("\"shapes\": 12", "\"shapes\": 1e11"); }, "merge",
         "grid.shapes must be a whole number from 1 to 2147483647"},
        {"shapes -1", "shards", [] { in_both_shards("\"shapes\": 12", "\"shapes\": -1"); }, "merge",
         "grid.shapes must be a whole number from 1 to 2147483647"},
        {"shapes 3e8", "shards", [] { in_both_shards("\"shapes\": 12", "\"shapes\": 300000000"); }, "merge",
         "the grid of step 0.5 has 12 shapes in 3 progress steps, not the 300000000"},
        {"a fine grid the tables do not hold", "shards",
         [&fine] {
             in_both_shards("\"step\": 0.5", "\"step\": 0.02");
             in_both_shards("\"shapes\": 12", "\"shapes\": " + std::to_string(fine.shapes));
             in_both_shards("\"progress_steps\": 3", "\"progress_steps\": " + std::to_string(fine.progress_steps));
         },
         "merge", "too few for the"},
        {"a shard manifest is a folder", "shards",
         [] {
             fs::remove("output/run.shard-2-of-2.json");
             fs::create_directory("output/run.shard-2-of-2.json");
         },
         "merge", "output/run.shard-2-of-2.json: not a regular file"},
        {"a shard that records more finished shapes than its table holds", "shards",
         [] { replace_in("output/run.shard-1-of-2.json", "\"finished_shapes\": 6", "\"finished_shapes\": 9"); },
         "merge", "shard 1 of 2 records 9 finished shapes (0 resumed), but its table holds 6: rerun that shard"},
        {"a shard manifest of another shard", "shards",
         [] {
             fs::copy_file("output/run.shard-2-of-2.json", "output/run.shard-1-of-2.json",
                           fs::copy_options::overwrite_existing);
         },
         "merge", "output/run.shard-1-of-2.json records shard 2 of 2, not shard 1 of 2"},
        {"a shard table with a stray line", "shards",
         [] { write_file("output/main.shard-2-of-2.txt", read_file("output/main.shard-2-of-2.txt") + "7 oops\n"); },
         "merge", "output/main.shard-2-of-2.txt:7: not a line of a shape of the grid of 12 shapes"},
        {"more shards than --shard allows", "nothing", [] {}, small_run() + " --shard 1/100001", "K/S"},
    };
    for (const hostile_folder& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = fs::absolute("case");
        fs::remove_all(folder);
        fs::copy(c.made_from, folder, fs::copy_options::recursive);
        {
            const fs::path previous = fs::current_path();
            fs::current_path(folder);
            c.make_hostile();
            fs::current_path(previous);
        }
        const bool merged_before = fs::exists(folder / "output/main.txt");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run_command(cli + " -C " + folder.string() + " " + c.command, out), 2) << out;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_EQ(out.find("terminate"), std::string::npos) << out;
        // Refused before any work: quickly, and a merge writes no table.
        EXPECT_LT(seconds, 20.0);
        if (c.command == "merge") {
            EXPECT_EQ(fs::exists(folder / "output/main.txt"), merged_before);
        }
    }
}

TEST(HostileFolders, AnObservationFileNamedInLatin1IsRecordedAsUtf8)
{
    scratch_dir dir;
    const std::string name = "obs\xe9.zel";  // not UTF-8
    fs::copy_file(data_file("test.zel"), name);
    std::string out;
    ASSERT_EQ(run_command(cli + " --path '" + name + "' --subdivisions 1 --step 0.5 --threads 1", out), 0) << out;
    EXPECT_NE(read_file("output/run.json").find("\"observation_file\": \"obs\xef\xbf\xbd.zel\""), std::string::npos);
    // The record reads back, and a resume with the same file is taken.
    ASSERT_EQ(run_command(cli + " --path '" + name + "' --subdivisions 1 --step 0.5 --threads 1 --resume", out), 0)
        << out;
}

}  // namespace
