#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "lightcurve/lc_reader.hpp"
#include "mesh/base_shape.hpp"
#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/spin.hpp"

namespace {

namespace fs = std::filesystem;

const std::string cli = MORVANE_CLI;

// The blocks `list` of an observation file as the sweep reads them ("" for
// all); fails the test when the file does not read.
obs_set read_blocks(const std::string& path, const std::string& list = "")
{
    block_selection selection;
    std::string why;
    EXPECT_TRUE(parse_block_list(list.empty() ? "all" : list, selection, why)) << why;
    obs_set set;
    EXPECT_GT(read_lc_file(path, set, nullptr, why, selection), 0) << why;
    return set;
}

// Whether two doubles have the same bits.
bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The sweep's magnitudes of a shape (six values) at the points of `at`,
// with its fast path, n subdivisions and the spin state typed.
std::vector<double> model_magnitudes(const double (&shape)[6], const double (&spin)[5], int n, const obs_set& at)
{
    const std::shared_ptr<const mesh> base = build_base_mesh(n);
    const double params[7] = {1.0, shape[0], shape[1], shape[2], shape[3], shape[4], shape[5]};
    std::vector<vec3> vertices;
    deform_vertices(base->vertices, params, vertices);
    const sweep_spin s = typed_spin(spin[0], spin[1], spin[2], spin[3], spin[4]);
    const shape_job job =
        one_shape_job(*base, vertices, params, {at.count, at.earth.data(), at.sun.data(), at.times.data()}, s);
    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    EXPECT_TRUE(fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) << outcome.failure;
    std::vector<double> m;
    for (double b : scratch.brightness) m.push_back(std::log10(b) * (-2.5));
    return m;
}

// Per block of `noisy` and `clean` (the same points): the mean of the
// magnitude differences (the block's zero point) and the differences less
// it, all blocks' together.
struct residuals {
    std::vector<double> zero_points;
    std::vector<double> values;
};

residuals block_residuals(const obs_set& noisy, const obs_set& clean)
{
    residuals r;
    for (const block_run& run : block_runs(noisy, static_cast<std::size_t>(noisy.count))) {
        double sum = 0.0;
        for (std::size_t i = run.first; i < run.end; ++i)
            sum += noisy.photometry[i].magnitude - clean.photometry[i].magnitude;
        const double mean = sum / static_cast<double>(run.end - run.first);
        r.zero_points.push_back(mean);
        for (std::size_t i = run.first; i < run.end; ++i)
            r.values.push_back(noisy.photometry[i].magnitude - clean.photometry[i].magnitude - mean);
    }
    return r;
}

// The standard deviation of values whose mean is 0 by construction.
double spread(const std::vector<double>& v)
{
    double sum = 0.0;
    for (double x : v) sum += x * x;
    return std::sqrt(sum / static_cast<double>(v.size()));
}

// The fraction of values within `limit` of 0.
double within(const std::vector<double>& v, double limit)
{
    return static_cast<double>(std::count_if(v.begin(), v.end(), [&](double x) { return std::fabs(x) < limit; })) /
           static_cast<double>(v.size());
}

// A file's "key value..." lines (after the first word, the rest).
std::map<std::string, std::string> key_values(const std::string& path)
{
    std::map<std::string, std::string> out;
    for (const std::string& line : read_lines(path)) {
        const std::size_t space = line.find(' ');
        if (!line.empty() && line[0] != '#' && space != std::string::npos)
            out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

}  // namespace

// Each chosen block of a real file comes back with the same times and
// vectors, bit for bit, under the same block number; blocks not chosen are
// absent, and the sweep loads the file.
TEST(SynthLike, KeepsTheChosenBlocksTimesAndGeometry)
{
    const struct {
        const char* asteroid;
        const char* blocks;  // "" for every block
        const char* extra;
    } cases[] = {
        {"kleopatra", "3,5", ""},
        {"hermione", "12", ""},
        {"hertha", "", ""},
        {"metis", "4,9-11", " --noise 0.01 --seed 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.asteroid) + " " + c.blocks + c.extra);
        scratch_dir dir;
        const std::string source = data_file(std::string(c.asteroid) + "_lc.txt");
        const std::string spin = data_file(std::string(c.asteroid) + "_spin.txt");
        const std::string blocks = *c.blocks ? std::string(" --blocks ") + c.blocks : "";
        std::string out;
        ASSERT_EQ(run_command(cli + " synth --like " + source + blocks + " --spin " + spin +
                                  " --subdivisions 1 --output s.txt" + c.extra,
                              out),
                  0)
            << out;
        const obs_set want = read_blocks(source, c.blocks);
        const obs_set got = read_blocks("s.txt", c.blocks);
        ASSERT_EQ(got.count, want.count);
        for (int32_t i = 0; i < want.count; ++i) {
            const vec3 gs = got.sun[i], ws = want.sun[i], ge = got.earth[i], we = want.earth[i];
            ASSERT_TRUE(same_bits(got.times[i], want.times[i]) && same_bits(gs.x, ws.x) && same_bits(gs.y, ws.y) &&
                        same_bits(gs.z, ws.z) && same_bits(ge.x, we.x) && same_bits(ge.y, we.y) &&
                        same_bits(ge.z, we.z))
                << "point " << i;
            ASSERT_EQ(got.photometry[i].lc_number, want.photometry[i].lc_number) << "point " << i;
        }
        EXPECT_EQ(read_blocks("s.txt").count, want.count);  // nothing but the chosen blocks
        EXPECT_EQ(read_lines("s.txt").front(), std::to_string(want.photometry[want.count - 1].lc_number + 1));
        EXPECT_EQ(run_command(cli + " --path s.txt --blocks " + (*c.blocks ? c.blocks : "all") + " --spin " + spin +
                                  " --subdivisions 1 --until load",
                              out),
                  0)
            << out;
    }
}

// Without noise the file's magnitudes are the sweep's evaluation of the
// shape at those points, exactly; a spin file gives what the same options
// typed give, byte for byte.
TEST(SynthLike, NoiselessMagnitudesAreTheSweepsModel)
{
    const struct {
        const char* asteroid;
        const char* blocks;
        double shape[6];
        double spin[5];  // lambda beta period t0 phi0, as the spin file
        int subdivisions;
    } cases[] = {
        {"kleopatra", "3,5", {0.8, 0.6, 0.7, 0.55, 0.4, 0.6}, {73.0895, 20.1825, 5.38528201, 2444502.76914, 0}, 2},
        {"hermione", "12", {0.9, 0.75, 0.5, 0.45, 0.35, 0.8}, {3.2311, 14.4211, 5.55087725, 2443032.0, 0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asteroid);
        scratch_dir dir;
        const std::string source = data_file(std::string(c.asteroid) + "_lc.txt");
        char shape[160], spin[200];
        std::snprintf(shape, sizeof shape, " --shape %.17g,%.17g,%.17g,%.17g,%.17g,%.17g", c.shape[0], c.shape[1],
                      c.shape[2], c.shape[3], c.shape[4], c.shape[5]);
        std::snprintf(spin, sizeof spin, " --lambda %.17g --beta %.17g --period %.17g --t0 %.17g --phi0 %.17g",
                      c.spin[0], c.spin[1], c.spin[2], c.spin[3], c.spin[4]);
        const std::string common = cli + " synth --like " + source + " --blocks " + c.blocks + shape +
                                   " --subdivisions " + std::to_string(c.subdivisions);
        std::string out;
        ASSERT_EQ(run_command(common + spin + " --output typed.txt", out), 0) << out;
        ASSERT_EQ(run_command(common + " --spin " + data_file(std::string(c.asteroid) + "_spin.txt") +
                                  " --output from_file.txt",
                              out),
                  0)
            << out;
        EXPECT_EQ(read_file("typed.txt"), read_file("from_file.txt"));
        const obs_set got = read_blocks("typed.txt", c.blocks);
        const std::vector<double> want = model_magnitudes(c.shape, c.spin, c.subdivisions, got);
        ASSERT_EQ(want.size(), static_cast<std::size_t>(got.count));
        for (int32_t i = 0; i < got.count; ++i)
            ASSERT_TRUE(same_bits(got.photometry[i].magnitude, want[i]))
                << "point " << i << ": " << got.photometry[i].magnitude << " against " << want[i];
    }
}

// --noise with a seed gives the same file every time and another seed
// another one; each block is moved by its own zero point within [-1, 1]
// mag, and what remains is Gaussian with the standard deviation asked for
// (checked over 20,000 points: its spread, and the share within one and
// two standard deviations, which a uniform noise of the same spread fails).
TEST(SynthNoise, SeededGaussianNoiseAndZeroPointsPerBlock)
{
    scratch_dir dir;
    const double sigma = 0.02;
    const std::string common =
        cli + " synth --subdivisions 1 --points 4000 --blocks-geometry 10:0,30:20,50:-30,20:60,70:10";
    std::string out;
    ASSERT_EQ(run_command(common + " --output clean.zel", out), 0) << out;
    ASSERT_EQ(run_command(common + " --noise 0.02 --seed 7 --output a.zel", out), 0) << out;
    ASSERT_EQ(run_command(common + " --noise 0.02 --seed 7 --output b.zel", out), 0) << out;
    ASSERT_EQ(run_command(common + " --noise 0.02 --seed 8 --output c.zel", out), 0) << out;
    EXPECT_EQ(read_file("a.zel"), read_file("b.zel"));
    EXPECT_NE(read_file("a.zel"), read_file("c.zel"));

    const obs_set clean = read_blocks("clean.zel"), noisy = read_blocks("a.zel");
    ASSERT_EQ(noisy.count, 20000);
    ASSERT_EQ(clean.count, noisy.count);
    EXPECT_EQ(noisy.times, clean.times);
    const residuals r = block_residuals(noisy, clean);
    ASSERT_EQ(r.zero_points.size(), 5u);
    for (double z : r.zero_points) EXPECT_LE(std::fabs(z), 1.0 + 4 * sigma / std::sqrt(4000.0)) << z;
    const auto [lo, hi] = std::minmax_element(r.zero_points.begin(), r.zero_points.end());
    EXPECT_GT(*hi - *lo, 0.2);  // each block its own zero point
    EXPECT_NEAR(spread(r.values), sigma, 0.03 * sigma);
    EXPECT_NEAR(within(r.values, sigma), 0.6827, 0.015);
    EXPECT_NEAR(within(r.values, 2 * sigma), 0.9545, 0.01);
}

// Every refusal says why, exits with 2 and leaves the output as it was:
// absent, or an earlier file unchanged.
TEST(SynthRefusals, SayWhyAndWriteNothing)
{
    const std::string like = " --like " + data_file("kleopatra_lc.txt") + " --spin " + data_file("kleopatra_spin.txt");
    const struct {
        std::string options;
        const char* reason;
    } cases[] = {
        {like + " --blocks 3,99", "lightcurve 99 requested, but the file holds 55"},
        {like + " --blocks 3-x", "\"3-x\" is not a block"},
        {like + " --blocks ''", "\"\" is not a block"},
        {" --like nowhere.txt", "nowhere.txt"},
        {like + " --shape 0.8,0.6,0.7,0.55,0.4,1.8", "x_shift 1.8 lies outside"},
        {like + " --shape 0.8,0.6,0.7,0.55,0.4,0.2", "x_shift 0.2 lies outside"},
        {like + " --shape 0.8,0.9,0.7,0.55,0.4,0.6", "z_scale_1 0.9 lies outside"},
        {like + " --shape 0.3,0.2,0.7,0.55,0.4,0.6", "y_scale_1 0.3 lies outside"},
        {like + " --shape 0.8,0.6,0.05,0.03,0.02,1", "x_scale_2 0.05 lies outside"},
        {like + " --shape 0.8,0.6,0.7,0.3,0.2,0.6", "y_scale_2 0.3 lies outside"},
        {like + " --shape 0.8,0.6,0.7,0.55,0.6,0.6", "z_scale_2 0.6 lies outside"},
        {like + " --shape 0.8,0.6,0.7,0.55,0.4,nan", "x_shift nan lies outside"},
        {like + " --noise -0.01", "--noise takes a standard deviation from 0 to 1 mag"},
        {like + " --noise 1.5", "--noise takes a standard deviation from 0 to 1 mag"},
        {like + " --noise nan", "--noise takes a standard deviation"},
        {like + " --noise loud", "--noise: \"loud\" is not a number"},
        {like + " --noise 0.01 --seed 4x", "--seed takes a whole number"},
        {like + " --seed 4", "--seed draws the noise"},
        {like + " --points 50", "leave out --points"},
        {like + " --blocks-geometry 10:0", "leave out --blocks-geometry"},
        {" --blocks 3", "give --like FILE"},
        {" --spin nowhere_spin.txt", "--spin nowhere_spin.txt: No such file"},
        {like + " --lambda 400", "pole longitude"},
        {like + " --period abc", "--period: \"abc\" is not a number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        for (const bool earlier : {false, true}) {
            scratch_dir dir;
            if (earlier) write_file("s.txt", "earlier\n");
            std::string out;
            EXPECT_EQ(run_command(cli + " synth --subdivisions 1 --output s.txt" + c.options, out), 2) << out;
            EXPECT_NE(out.find(c.reason), std::string::npos) << out;
            EXPECT_EQ(fs::exists("s.txt"), earlier);
            if (earlier) {
                EXPECT_EQ(read_file("s.txt"), "earlier\n");
            }
            EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), earlier ? 1 : 0);
        }
    }
}

// scripts/make-truth-sets writes three small sets that differ in shape,
// pole and noise, the same on every run; each file holds 6 to 8 blocks of
// at most 50 points and is what its truth file says: the recorded shape
// and spin without noise leave residuals of about the recorded noise.
TEST(TruthSets, ThreeSmallSetsTheirTruthFilesDescribe)
{
    scratch_dir dir;
    std::string out;
    const std::string script = std::string(MORVANE_SOURCE_DIR) + "/scripts/make-truth-sets";
    ASSERT_EQ(run_command(script + " sets " + cli, out), 0) << out;
    ASSERT_EQ(run_command(script + " again " + cli, out), 0) << out;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("sets"))
        if (const std::string name = entry.path().filename().string(); name.ends_with("_truth.txt"))
            names.push_back(name.substr(0, name.size() - 10));
    ASSERT_EQ(names.size(), 3u);
    std::vector<std::map<std::string, std::string>> truths;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        for (const char* suffix : {"_lc.txt", "_spin.txt", "_truth.txt"})
            EXPECT_EQ(read_file("sets/" + name + suffix), read_file("again/" + name + suffix)) << suffix;
        const std::string lc = "sets/" + name + "_lc.txt";
        const obs_set set = read_blocks(lc);
        const std::vector<block_run> runs = block_runs(set, static_cast<std::size_t>(set.count));
        EXPECT_GE(runs.size(), 6u);
        EXPECT_LE(runs.size(), 8u);
        for (const block_run& run : runs) EXPECT_LE(run.end - run.first, 50u) << "block " << run.block;
        const auto truth = key_values("sets/" + name + "_truth.txt");
        truths.push_back(truth);
        std::string shape = truth.at("shape");
        std::replace(shape.begin(), shape.end(), ' ', ',');
        ASSERT_EQ(run_command(cli + " synth --like " + lc + " --spin sets/" + name + "_spin.txt --shape " + shape +
                                  " --subdivisions " + truth.at("subdivisions") + " --output clean.txt",
                              out),
                  0)
            << out;
        const double noise = std::stod(truth.at("noise"));
        EXPECT_NEAR(spread(block_residuals(set, read_blocks("clean.txt")).values), noise, 0.15 * noise);
    }
    for (const char* key : {"shape", "spin", "noise", "source"}) {
        EXPECT_NE(truths[0].at(key), truths[1].at(key)) << key;
        EXPECT_NE(truths[1].at(key), truths[2].at(key)) << key;
        EXPECT_NE(truths[0].at(key), truths[2].at(key)) << key;
    }
}
