// The spin search on data made by known shapes and spins at real observing
// geometry, with noise: it finds the pole (or its mirror, which relative
// photometry near the ecliptic cannot tell apart) and the period.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "inversion/pole_grid.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const std::string cli = MORVANE_CLI;

// A synthetic set for the pole search: the blocks of a real file (about 40
// points each) whose times and geometry it takes, the pole, shape and seed.
struct spin_set {
    const char* source;  // data/<source>_lc.txt and _spin.txt (its period and epoch)
    const char* blocks;
    double lambda_deg;
    double beta_deg;
    double shape[6];
    int seed;
};

// Three sets of other poles, shapes and apparitions.
const spin_set sets[] = {
    {"kleopatra", "7,15,17,19,27,43,52", 40.0, 35.0, {0.8, 0.6, 0.7, 0.5, 0.4, 0.9}, 3011},
    {"hermione", "5,7,15,16,27", 250.0, -45.0, {0.85, 0.7, 0.75, 0.6, 0.5, 0.45}, 3012},
    {"hertha", "5,6,15,20,22,26,27", 120.0, -30.0, {0.65, 0.45, 0.9, 0.6, 0.5, 0.4}, 3013},
};

constexpr double noise = 0.01;

// The spin file's words: lambda, beta, period, epoch, phi0.
std::vector<double> spin_words(const std::string& path)
{
    std::istringstream in(read_file(path));
    std::vector<double> words(5);
    for (double& w : words) in >> w;
    return words;
}

// One row of output/spins.txt.
struct spin_row {
    double lambda, beta, period, chi2;
};

std::vector<spin_row> spin_rows(const std::string& path)
{
    std::ifstream in(path);
    std::vector<spin_row> rows;
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream words(line);
        spin_row r;
        double phi0;
        words >> r.lambda >> r.beta >> r.period >> phi0 >> r.chi2;
        rows.push_back(r);
    }
    return rows;
}

// The angle from a pole to the nearer of the true pole and its mirror.
double to_truth(double lambda, double beta, double true_lambda, double true_beta)
{
    return std::min(pole_distance_deg(lambda, beta, true_lambda, true_beta),
                    pole_distance_deg(lambda, beta, true_lambda + 180.0, true_beta));
}

// Makes the set's observation file in `folder` with the source's period and
// epoch and the set's pole; returns the path of the spin file used.
std::string make_set(const spin_set& t, const std::string& folder, const std::string& extra_blocks = "")
{
    const std::string source = data_file(std::string(t.source) + "_lc.txt");
    const std::string spin = data_file(std::string(t.source) + "_spin.txt");
    std::ostringstream shape;
    for (double v : t.shape) shape << " " << v;
    std::string out;
    EXPECT_EQ(run_command(cli + " synth --like " + source + " --blocks " +
                              (extra_blocks.empty() ? std::string(t.blocks) : extra_blocks) + " --spin " + spin +
                              " --lambda " + std::to_string(t.lambda_deg) + " --beta " + std::to_string(t.beta_deg) +
                              " --shape" + shape.str() + " --subdivisions 4 --noise " + std::to_string(noise) +
                              " --seed " + std::to_string(t.seed) + " --output " + folder + "/lc.txt",
                          out),
              0)
        << out;
    return spin;
}

void PrintTo(const spin_set& t, std::ostream* out)
{
    *out << t.source;
}

std::string set_name(const testing::TestParamInfo<spin_set>& info)
{
    return info.param.source;
}

class SpinTruth : public testing::TestWithParam<spin_set> {};

}  // namespace

// A pole search at the true period over 48 poles, then their sub-pixels:
// the best pole lies within one coarse pixel of the true pole or its
// mirror, and one of the poles under the last level's threshold does too.
TEST_P(SpinTruth, ThePoleSearchFindsThePoleOrItsMirror)
{
    const spin_set& t = GetParam();
    scratch_dir dir;
    const std::string folder = fs::absolute(t.source).string();
    fs::create_directories(folder);
    const std::string spin = make_set(t, folder);
    std::string out;
    ASSERT_EQ(run_command(cli + " -C " + folder + " --path lc.txt --spin " + spin + " --fit chi2 --sigma " +
                              std::to_string(noise) +
                              " --subdivisions 2 --step 0.9 --no-curves --pole-nside 2 --refine 1 --refine-effort 0.05",
                          out),
              0)
        << out;
    const json record = json::parse(read_file(folder + "/output/run.json"))["spin_search"];
    const double threshold = record["each_level"].back()["threshold"].get<double>();
    const std::vector<spin_row> rows = spin_rows(folder + "/output/spins.txt");
    ASSERT_FALSE(rows.empty());
    const double coarse_pixel = pole_spacing_deg(2);
    const double best = to_truth(rows.front().lambda, rows.front().beta, t.lambda_deg, t.beta_deg);
    double nearest_under = 180.0;
    for (const spin_row& r : rows)
        if (r.chi2 <= threshold)
            nearest_under = std::min(nearest_under, to_truth(r.lambda, r.beta, t.lambda_deg, t.beta_deg));
    std::printf("%s: best pole %.1f %.1f, %.1f degrees from the truth or its mirror; nearest under the threshold "
                "%.1f degrees\n",
                t.source, rows.front().lambda, rows.front().beta, best, nearest_under);
    EXPECT_LT(best, coarse_pixel) << out;
    EXPECT_LT(nearest_under, coarse_pixel);
}

INSTANTIATE_TEST_SUITE_P(SpinSets, SpinTruth, testing::ValuesIn(sets), set_name);

// A period scan of +-0.5% around the true period, by steps of 0.25%, over
// 12 poles: the period nearest the true one has a spin under the
// threshold. (On a model of one subdivision another period fits better:
// the scan needs the run's model.)
TEST(SpinTruthPeriod, AScanAroundTheTruePeriodKeepsItUnderTheThreshold)
{
    const spin_set& t = sets[2];  // Hertha's blocks of 48 days
    scratch_dir dir;
    const std::string folder = fs::absolute("period").string();
    fs::create_directories(folder);
    const std::string spin = make_set(t, folder, "20,22,23");
    const double period = spin_words(spin)[2];
    char range[96];
    std::snprintf(range, sizeof range, "%.9f:%.9f:%.9f", period * 0.995, period * 1.005, period * 0.0025);
    std::string out;
    ASSERT_EQ(run_command(cli + " -C " + folder + " --path lc.txt --spin " + spin + " --fit chi2 --sigma " +
                              std::to_string(noise) + " --subdivisions 2 --step 0.9 --no-curves --pole-nside 1 " +
                              "--pole-levels 1 --periods " + range + " --refine 1 --refine-effort 0.05",
                          out),
              0)
        << out;
    const json record = json::parse(read_file(folder + "/output/run.json"))["spin_search"];
    const double threshold = record["each_level"].back()["threshold"].get<double>();
    const int periods = record["periods"]["count"].get<int>();
    EXPECT_EQ(periods, 5);
    const std::vector<spin_row> rows = spin_rows(folder + "/output/spins.txt");
    ASSERT_EQ(static_cast<int>(rows.size()), 12 * periods);
    double nearest = 0.0;
    for (const spin_row& r : rows)
        if (std::fabs(r.period - period) < std::fabs(nearest - period)) nearest = r.period;
    double best_there = INFINITY, best_anywhere = INFINITY;
    for (const spin_row& r : rows) {
        if (r.period == nearest) best_there = std::min(best_there, r.chi2);
        best_anywhere = std::min(best_anywhere, r.chi2);
    }
    std::printf("period %.6f h: nearest scanned %.6f h of %d, best chi2 there %.2f, anywhere %.2f, threshold %.2f\n",
                period, nearest, periods, best_there, best_anywhere, threshold);
    EXPECT_LE(best_there, threshold);
}
