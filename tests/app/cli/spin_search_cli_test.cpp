// The spin search from the command line: its options refused before any
// work, and a small search's files, the same on one thread and two.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const std::string cli = MORVANE_CLI;

// The command line in folder `dir` (made when missing) with `options`.
int in_folder(const std::string& dir, const std::string& options, std::string& out)
{
    fs::create_directories(dir);
    return run_command(cli + " -C " + fs::absolute(dir).string() + " " + options, out);
}

// The lines of a file.
std::vector<std::string> lines_of(const fs::path& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The numbers of a line.
std::vector<double> numbers(const std::string& line)
{
    std::istringstream in(line);
    std::vector<double> values;
    for (double v; in >> v;) values.push_back(v);
    return values;
}

const std::string small =
    "--subdivisions 1 --step 0.9 --fit chi2 --pole-nside 1 --pole-levels 1 --scan-subdivisions 1 --refine 1 "
    "--refine-effort 0.05";

}  // namespace

TEST(SpinSearchCli, RefusesItsOptionsBeforeAnyWork)
{
    scratch_dir dir;
    const std::string path = " --path " + data_file("twin_three_geometries.zel") + " --subdivisions 2 ";
    const struct {
        const char* options;
        const char* says;
    } cases[] = {
        {"--pole-nside 2", "--fit chi2 only"},
        {"--fit chi2 --pole-nside 3", "power of two"},
        {"--fit chi2 --pole-nside 128", "power of two"},
        {"--fit chi2 --periods 5:6", "go with --pole-nside"},
        {"--fit chi2 --pole-levels 2", "go with --pole-nside"},
        {"--fit chi2 --pole-carry 2", "go with --pole-nside"},
        {"--fit chi2 --pole-nside 2 --pole-carry -1", "--pole-carry takes"},
        {"--fit chi2 --pole-nside 2 --periods 6:5", "--periods takes"},
        {"--fit chi2 --pole-nside 2 --periods 5:6:0", "--periods takes"},
        {"--fit chi2 --pole-nside 2 --pole-levels 0", "--pole-levels"},
        {"--fit chi2 --pole-nside 32 --pole-levels 3", "--pole-levels"},
        {"--fit chi2 --pole-nside 2 --scan-subdivisions 3", "--scan-subdivisions"},
        {"--fit chi2 --pole-nside 2 --until load", "--until"},
        {"--fit chi2 --pole-nside 2 --shard 1/2 --refine-effort 0.5", "go with --refine"},
        {"--fit chi2 --pole-nside 2 --shard 1/2 --refine 3", "leave out --shard"},
        {"--fit chi2 --pole-nside 2 --threads 0", "thread"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(in_folder("run", path + c.options, out), 2) << c.options << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.options << "\n" << out;
        EXPECT_FALSE(fs::exists("run/output")) << c.options;
    }
}

TEST(SpinSearchCli, WritesTheSpinsAndTheBestSpinTheSameOnAnyThreadCount)
{
    scratch_dir dir;
    const std::string options = "--path " + data_file("twin_three_geometries.zel") + " --period 7.5 " + small;
    std::string out;
    ASSERT_EQ(in_folder("one", options + " --threads 1", out), 0) << out;
    EXPECT_NE(out.find("best spin: lambda"), std::string::npos) << out;
    ASSERT_EQ(in_folder("two", options + " --threads 2", out), 0) << out;
    for (const char* name : {"spins.txt", "spin.txt", "refined.txt", "uncertainty.json", "main.txt", "best.obj"})
        EXPECT_EQ(read_file(fs::path("one/output") / name), read_file(fs::path("two/output") / name)) << name;

    // One line per spin of the one level (12 poles, one period), best first.
    const std::vector<std::string> spins = lines_of("one/output/spins.txt");
    ASSERT_EQ(spins.size(), 13u);
    EXPECT_EQ(spins[0],
              "# lambda_deg beta_deg period_h phi0_deg chi2 reduced_chi2 y_scale_1 z_scale_1 x_scale_2 y_scale_2 "
              "z_scale_2 x_shift");
    double previous = -1.0;
    for (std::size_t i = 1; i < spins.size(); ++i) {
        const std::vector<double> v = numbers(spins[i]);
        ASSERT_EQ(v.size(), 12u) << spins[i];
        EXPECT_EQ(v[2], 7.5);
        EXPECT_GE(v[3], 0.0);
        EXPECT_LT(v[3], 360.0);
        EXPECT_GE(v[4], previous) << "best first";
        previous = v[4];
    }
    // The spin file holds the best spin, and the sweep ran at it.
    const std::vector<std::string> spin = lines_of("one/output/spin.txt");
    ASSERT_EQ(spin.size(), 2u);
    const std::vector<double> first = numbers(spins[1]), words = numbers(spin[0] + " " + spin[1]);
    ASSERT_EQ(words.size(), 5u);
    EXPECT_EQ(words[0], first[0]);
    EXPECT_EQ(words[1], first[1]);
    EXPECT_EQ(words[4], first[3]);
    const json manifest = json::parse(read_file("one/output/run.json"));
    EXPECT_EQ(manifest["inputs"]["lambda_deg"].get<double>(), first[0]) << manifest.dump(2);
    EXPECT_EQ(manifest["spin_search"]["nside"], 1);
    EXPECT_EQ(manifest["spin_search"]["spins"], 12);
    EXPECT_EQ(manifest["spin_search"]["levels"], 1);
    EXPECT_TRUE(manifest["refinement"]["spin_refined"].get<bool>());
}

TEST(SpinSearchCli, AKilledSearchResumesToTheSameFiles)
{
    scratch_dir dir;
    const std::string options =
        "--path " + data_file("twin_three_geometries.zel") + " --period 7.5 " + small + " --threads 2";
    std::string out;
    ASSERT_EQ(in_folder("whole", options, out), 0) << out;
    fs::create_directories("killed");
    const pid_t run =
        start_command(cli + " -C " + fs::absolute("killed").string() + " " + options + " >/dev/null 2>&1");
    // Killed once the journal holds a few spins of the twelve.
    const auto lines = [] { return lines_of("killed/output/spins.journal").size(); };
    for (int i = 0; i < 6000 && lines() < 4; ++i) usleep(5000);
    kill(run, SIGKILL);
    wait_command(run);
    const std::size_t kept = lines();
    EXPECT_GE(kept, 4u);
    ASSERT_EQ(in_folder("killed", options + " --resume", out), 0) << out;
    for (const char* name : {"spins.txt", "spin.txt", "refined.txt", "uncertainty.json", "main.txt", "best.obj"})
        EXPECT_EQ(read_file(fs::path("whole/output") / name), read_file(fs::path("killed/output") / name)) << name;
    if (kept < 13) {
        EXPECT_LT(lines(), 2 * 13u);  // the spins kept were not fitted again
    }
}

TEST(SpinSearchCli, ThreeShardsAtOnceThenMergeWriteWhatOneProcessWrites)
{
    scratch_dir dir;
    const std::string options = "--path " + data_file("twin_three_geometries.zel") +
                                " --period 7.5 --subdivisions 1 --step 0.9 --fit chi2 --pole-nside 1 --pole-levels 2 "
                                "--scan-subdivisions 1 --pole-carry 2 --threads 1";
    std::string out;
    ASSERT_EQ(in_folder("whole", options + " --refine-effort 0.05", out), 0) << out;
    // The shards share one folder and run at the same time: each waits at
    // the end of a level for the others' spins.
    fs::create_directories("shards");
    std::vector<pid_t> shards;
    for (int k = 1; k <= 3; ++k)
        shards.push_back(start_command(cli + " -C " + fs::absolute("shards").string() + " " + options + " --shard " +
                                       std::to_string(k) + "/3 >shard" + std::to_string(k) + ".log 2>&1"));
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(wait_command(shards[k - 1]), 0) << read_file("shard" + std::to_string(k) + ".log");
    EXPECT_FALSE(fs::exists("shards/output/spins.txt")) << "merge writes it";
    ASSERT_EQ(in_folder("shards", "merge", out), 0) << out;
    EXPECT_NE(out.find("spins of its last level in output/spins.txt"), std::string::npos) << out;
    for (const char* name : {"spins.txt", "spin.txt", "main.txt"})
        EXPECT_EQ(read_file(fs::path("whole/output") / name), read_file(fs::path("shards/output") / name)) << name;
    const json whole = json::parse(read_file("whole/output/run.json"));
    const json merged = json::parse(read_file("shards/output/run.json"));
    EXPECT_EQ(merged["spin_search"]["best"], whole["spin_search"]["best"]);
    EXPECT_EQ(merged["spin_search"]["spins"], whole["spin_search"]["spins"]);
    ASSERT_EQ(whole["spin_search"]["levels"], 2);

    // A journal short of a spin leaves the search unmerged, and nothing of
    // the merge is written.
    std::vector<std::string> kept = lines_of("shards/output/spins.shard-2-of-3.journal");
    kept.pop_back();
    std::ofstream("shards/output/spins.shard-2-of-3.journal") << [&] {
        std::string text;
        for (const std::string& line : kept) text += line + "\n";
        return text;
    }();
    fs::remove("shards/output/spins.txt");
    fs::remove("shards/output/main.txt");
    EXPECT_EQ(in_folder("shards", "merge", out), 2) << out;
    EXPECT_NE(out.find("do not hold the search"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists("shards/output/spins.txt"));
    EXPECT_FALSE(fs::exists("shards/output/main.txt"));
}
