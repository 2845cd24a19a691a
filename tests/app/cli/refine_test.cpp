#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
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

// The numbers of one line of output/refined.txt.
std::vector<double> numbers(const std::string& line)
{
    std::istringstream in(line);
    std::vector<double> values;
    std::string word;
    while (in >> word) values.push_back(word == "nan" ? std::nan("") : std::stod(word));
    return values;
}

const std::string small_chi2 = "--subdivisions 2 --step 0.5 --fit chi2 --refine-effort 0.1";

}  // namespace

// Every misuse of the refinement's options is refused before the sweep
// writes anything.
TEST(Refine, RefusesItsOptionsBeforeAnyWork)
{
    scratch_dir dir;
    const std::string path = " --path " + data_file("twin_three_geometries.zel") + " ";
    const struct {
        const char* options;
        const char* says;
    } cases[] = {
        {"--subdivisions 2 --step 0.5 --refine 2", "--fit chi2 only"},
        {"--subdivisions 2 --step 0.5 --fit offset --refine 2", "--fit chi2 only"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine 0", "1 or more"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine -3", "1 or more"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine 2 --refine-subdivisions 11", "--refine-subdivisions"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine 2 --refine-subdivisions two", "--refine-subdivisions"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine-spin", "go with --refine"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine-effort 2", "go with --refine"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine 2 --refine-effort 0", "--refine-effort"},
        {"--subdivisions 2 --step 0.5 --fit chi2 --refine 2 --shard 1/2", "--shard"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(in_folder("run", path + c.options, out), 2) << c.options << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.options << "\n" << out;
        EXPECT_FALSE(fs::exists("run/output")) << c.options;
    }
}

// A small chi2 run with --refine 2 writes the refinement's files, the same
// on one thread and two, and its best improves on the grid's.
TEST(Refine, WritesItsFilesTheSameOnAnyThreadCount)
{
    scratch_dir dir;
    std::string out;
    const std::string options = "--path " + data_file("twin_three_geometries.zel") + " " + small_chi2 + " --refine 2";
    ASSERT_EQ(in_folder("one", options + " --threads 1", out), 0) << out;
    EXPECT_NE(out.find("refined best"), std::string::npos) << out;
    ASSERT_EQ(in_folder("two", options + " --threads 2", out), 0) << out;
    const auto one = result_files("one");
    EXPECT_EQ(result_differences(one, result_files("two")), "");
    ASSERT_TRUE(one.count("refined.txt") && one.count("best.obj"));
    // result_files leaves the JSON records out: the ranges are compared here.
    EXPECT_EQ(read_file("one/output/uncertainty.json"), read_file("two/output/uncertainty.json"));

    // refined.txt: a header, then at least the two starts and the global
    // stage, best first, each line a start shape, 7 parameters, chi2,
    // reduced chi2, rms and evaluations.
    const std::vector<std::string> lines = read_lines("one/output/refined.txt");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("# start_shape y_scale_1", 0), 0u) << lines[0];
    double last = -1.0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<double> v = numbers(lines[i]);
        ASSERT_EQ(v.size(), 12u) << lines[i];
        EXPECT_GE(v[8], last) << lines[i];
        last = v[8];
        EXPECT_GT(v[11], 0.0) << lines[i];
    }
    const std::vector<double> best = numbers(lines[1]);

    // The refined best is no worse than the grid's best row.
    double grid_best = INFINITY;
    for (const std::string& row : read_lines("one/output/main.txt"))
        grid_best = std::min(grid_best, numbers(row).back());
    EXPECT_LE(best[9], grid_best);

    const json u = json::parse(read_file("one/output/uncertainty.json"));
    for (const char* key : {"chi2_min", "nu", "threshold", "sigma_inflation", "parameters", "jackknife", "at_bound"})
        EXPECT_TRUE(u.contains(key)) << key;
    EXPECT_EQ(u["jackknife"]["blocks"], 3);
    EXPECT_NEAR(u["chi2_min"].get<double>(), best[8], 1e-9 * best[8]);
    const json& phi0 = u["parameters"]["phi0_deg"];
    EXPECT_LE(phi0["min"].get<double>(), phi0["best"].get<double>());
    EXPECT_GE(phi0["max"].get<double>(), phi0["best"].get<double>());

    const json run = json::parse(read_file("one/output/run.json"));
    ASSERT_TRUE(run.contains("refinement")) << run.dump();
    EXPECT_EQ(run["refinement"]["starts"], 2);
    EXPECT_EQ(run["refinement"]["subdivisions"], 2);
    EXPECT_EQ(run["refinement"]["spin_refined"], false);
    EXPECT_NEAR(run["refinement"]["best_chi2"].get<double>(), best[8], 1e-9 * best[8]);
    EXPECT_NEAR(run["refinement"]["reduced_chi2"].get<double>(), best[9], 1e-5 * best[9]);

    // morvane-cli export reads the refined run's record.
    EXPECT_EQ(in_folder("one", "export --shape 1 --output first.obj", out), 0) << out;
}

// --refine-spin frees the pole and the period: refined.txt and
// uncertainty.json carry them, the period stays within its window and the
// record says so; a finer --refine-subdivisions leaves the grid rows out of
// the acceptable set but still writes every file.
TEST(Refine, SpinAndAFinerModelAreRefinedAndRecorded)
{
    scratch_dir dir;
    std::string out;
    const std::string options = "--path " + data_file("twin_three_geometries.zel") + " --period 7.5 " + small_chi2 +
                                " --refine 1 --refine-spin --refine-subdivisions 3";
    ASSERT_EQ(in_folder("spin", options, out), 0) << out;
    EXPECT_NE(out.find(" lambda "), std::string::npos) << out;
    const std::vector<std::string> lines = read_lines("spin/output/refined.txt");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find("phi0_deg lambda_deg beta_deg period_h chi2"), std::string::npos) << lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<double> v = numbers(lines[i]);
        ASSERT_EQ(v.size(), 15u) << lines[i];
        EXPECT_NEAR(v[10], 7.5, 7.5 * 0.005 + 1e-9) << lines[i];  // the period within 0.5 %
        EXPECT_GE(v[9], -90.0) << lines[i];
        EXPECT_LE(v[9], 90.0) << lines[i];
    }
    const json u = json::parse(read_file("spin/output/uncertainty.json"));
    for (const char* p : {"lambda_deg", "beta_deg", "period_h"}) {
        ASSERT_TRUE(u["parameters"].contains(p)) << p;
        EXPECT_LE(u["parameters"][p]["min"].get<double>(), u["parameters"][p]["max"].get<double>()) << p;
        EXPECT_TRUE(u["jackknife"].contains(p)) << p;
    }
    const json run = json::parse(read_file("spin/output/run.json"));
    EXPECT_EQ(run["refinement"]["spin_refined"], true);
    EXPECT_EQ(run["refinement"]["subdivisions"], 3);
}
