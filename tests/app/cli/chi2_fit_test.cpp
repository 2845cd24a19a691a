#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// The command line in folder `dir` (made when missing) with `options`.
int in_folder(const std::string& dir, const std::string& options, std::string& out)
{
    fs::create_directories(dir);
    return run_command(cli + " -C " + fs::absolute(dir).string() + " " + options, out);
}

// An observation file of blocks of the given point counts, each over two
// hours from its own day.
std::string blocks_file(std::initializer_list<int> counts)
{
    std::string text = std::to_string(counts.size()) + "\n";
    int day = 0;
    for (int points : counts) {
        text += std::to_string(points) + " 0\n";
        for (int i = 0; i < points; ++i) {
            char line[200];
            std::snprintf(line, sizeof line, "%.6f %.6f 1.0 0.2 0.0 0.9 -0.3 0.1\n",
                          2451545.0 + day + i / 12.0 / points, 1.0 + 0.1 * i);
            text += line;
        }
        ++day;
    }
    return text;
}

// Runs `options` in `dir`, killed once it has journalled 60 rows, then
// resumed; the shapes the resume kept (-1 when the kill came too late).
int killed_and_resumed(const std::string& dir, const std::string& options, std::string& out)
{
    fs::create_directories(dir);
    const fs::path journal = fs::path(dir) / "output/journal.txt";
    const pid_t run = start_command(cli + " -C " + dir + " " + options + " >/dev/null 2>&1");
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (journal_rows(journal) < 60 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(run, SIGKILL);
    wait_command(run);
    if (journal_rows(journal) >= 280u) return -1;
    if (in_folder(dir, options + " --resume", out) != 0) return -1;
    const std::string record = read_file(fs::path(dir) / "output/run.json");
    const std::size_t resumed = record.find("\"resumed_shapes\": ");
    return resumed == std::string::npos ? -1 : std::atoi(record.c_str() + resumed + 18);
}

}  // namespace

TEST(Chi2Fit, ThreadsShardsAndAResumeWriteTheSameFiles)
{
    scratch_dir dir;
    std::string out;
    const std::string common =
        "--path " + data_file("twin_three_geometries.zel") + " --subdivisions 2 --step 0.25 --fit chi2";
    ASSERT_EQ(in_folder("one", common + " --threads 1", out), 0) << out;
    const auto expected = result_files("one");
    ASSERT_EQ(expected.size(), 280u + 4u);  // lightcurves, table, block fits, points, best shape
    EXPECT_EQ(read_lines("one/output/fits.csv").size(), 1u + 280u * 3u);
    EXPECT_EQ(read_lines("one/output/00001.lc.txt").size(), 300u);

    ASSERT_EQ(in_folder("two", common + " --threads 2", out), 0) << out;
    EXPECT_EQ(result_differences(expected, result_files("two")), "");

    for (const char* shard : {"1/2", "2/2"})
        ASSERT_EQ(in_folder("split", common + " --threads 2 --shard " + shard, out), 0) << out;
    ASSERT_EQ(run_command(cli + " -C split merge", out), 0) << out;
    EXPECT_EQ(result_differences(expected, result_files("split")), "");

    // Killed once it has journalled some rows, then resumed: the rows kept
    // bring back each block's zero point and chi2, one block's too.
    EXPECT_GE(killed_and_resumed("resumed", common + " --threads 2", out), 60) << out;
    EXPECT_EQ(result_differences(expected, result_files("resumed")), "");
    const std::string one_block = common + " --threads 2 --block 1";
    ASSERT_EQ(in_folder("block", one_block, out), 0) << out;
    EXPECT_GE(killed_and_resumed("block-resumed", one_block, out), 60) << out;
    EXPECT_EQ(result_differences(result_files("block"), result_files("block-resumed")), "");
    // A resume with another sigma is another run.
    EXPECT_EQ(in_folder("resumed", common + " --sigma 0.01 --resume", out), 2) << out;
    EXPECT_NE(out.find("sigma: null -> 0.01"), std::string::npos) << out;
}

TEST(Chi2Fit, RefusalsComeBeforeAnyWork)
{
    scratch_dir dir;
    write_file("singles.zel", blocks_file({1, 1}));
    write_file("mixed.zel", blocks_file({3, 1}));
    const std::string singles = "--path " + fs::absolute("singles.zel").string() + " --subdivisions 1 --fit chi2";
    const std::string mixed = "--path " + fs::absolute("mixed.zel").string() + " --subdivisions 1 --fit chi2";
    const std::string test_zel = "--path " + data_file("test.zel") + " --subdivisions 1 ";
    const struct {
        std::string options;
        int code;
        const char* says;
    } cases[] = {
        {test_zel + "--fit chi2 --sigma 0", 2, "the sigma must be a number of magnitudes greater than 0"},
        {test_zel + "--fit chi2 --sigma -0.01", 2, "greater than 0"},
        {test_zel + "--fit chi2 --sigma abc", 2, "greater than 0"},
        {test_zel + "--fit chi2 --sigma nan", 2, "greater than 0"},
        {test_zel + "--fit chi2 --sigma inf", 2, "greater than 0"},
        {test_zel + "--sigma 0.01", 2, "--sigma is for --fit chi2 only"},
        {test_zel + "--fit offset --sigma 0.01", 2, "--sigma is for --fit chi2 only"},
        {singles, 2, "2 points in 2 blocks leave no degree of freedom"},
        {mixed + " --block 1", 2, "1 point in 1 block leave no degree"},
        {mixed + " --blocks 1,3", 2, "lightcurve 3 requested"},
        {test_zel + "--fit chi3", 105, "--fit"},
        {test_zel + "--fit CHI2", 105, "--fit"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(in_folder("run", c.options, out), c.code) << c.options << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.options << "\n" << out;
        EXPECT_FALSE(fs::exists("run/basic_shape_1.obj")) << c.options;
        EXPECT_FALSE(fs::exists("run/output")) << c.options;
    }
    // A block of one point costs a degree of freedom and is fitted exactly;
    // a period the cyclic fits would warn of is no concern of this one.
    std::string out;
    ASSERT_EQ(in_folder("run", test_zel + "--fit chi2 --period 10 --until load 2>&1", out), 0) << out;
    EXPECT_NE(out.find("lightcurve 0: 1500 points, sigma 0.00"), std::string::npos) << out;
    EXPECT_NE(out.find(" mag (estimated: the scatter about a Fourier series of order "), std::string::npos) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
    ASSERT_EQ(in_folder("run", mixed + " --sigma 0.02", out), 0) << out;
    EXPECT_NE(out.find("lightcurve 1: 1 point, sigma 0.02 mag (given)"), std::string::npos) << out;
    const auto fits = read_lines("run/output/fits.csv");
    ASSERT_EQ(fits.size(), 3u);
    EXPECT_EQ(fits[2].rfind("1,1,1,0,", 0), 0u) << fits[2];
}
