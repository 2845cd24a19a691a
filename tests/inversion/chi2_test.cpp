#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/control_ids.hpp"
#include "inversion/chi2_evaluator.hpp"
#include "support/pipeline.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/sweep_journal.hpp"
#include "workflow/controller.hpp"

namespace {

constexpr double step = 0.5;
constexpr int subdivisions = 2;

// Three blocks of unequal, uneven sampling, seen from three geometries: 40
// points over most of a rotation, a single point, and 25 points over a
// fifth of one (the default period is 21.9 h).
std::string irregular_file()
{
    const struct {
        int points;
        double start, hours;
        const char* geometry;
    } blocks[] = {{40, 2451545.0, 18.0, "1.0 0.2 0.0 0.9 -0.3 0.1"},
                  {1, 2451550.0, 0.0, "0.3 1.0 0.1 -0.2 0.9 0.4"},
                  {25, 2451560.0, 4.0, "0.9 -0.5 0.3 0.8 0.1 -0.6"}};
    std::string text = "3\n";
    for (const auto& b : blocks) {
        text += std::to_string(b.points) + " 0\n";
        for (int i = 0; i < b.points; ++i) {
            const double u = b.points > 1 ? static_cast<double>(i) / (b.points - 1) : 0.0;
            char line[200];
            std::snprintf(line, sizeof line, "%.8f %.8f %s\n", b.start + b.hours / 24.0 * u * u,
                          1.0 + 0.2 * std::sin(7.0 * u) + 0.01 * std::cos(31.0 * i), b.geometry);
            text += line;
        }
    }
    return text;
}

// A chi2 sweep of the irregular file, its folder and what it loaded.
struct Chi2Sweep : ::testing::Test {
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    void SetUp() override
    {
        on_init(app, &ui);
        write_file("irregular.zel", irregular_file());
        ui.set_field(ctl::fit, "chi2");
        ASSERT_TRUE(geosphere_and_load(app, ui, subdivisions, "irregular.zel"));
        ui.set_field(ctl::step_size, std::to_string(step));
        ui.set_field(ctl::threads, "2");
        ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
        wait_for_sweep(app);
        ASSERT_EQ(app.last_sweep_result.load(), 1u);
    }
    // The model point of grid shape k with the loaded spin state.
    model_point grid_point(int k) const
    {
        double p[7];
        shape_parameters(step, k, p);
        model_point m;
        std::copy(p + 1, p + 7, m.shape);
        m.lambda_deg = app.spin.lambda_deg;
        m.beta_deg = app.spin.beta_deg;
        m.period_hours = app.spin.period_hours;
        m.t0 = app.spin.t0;
        m.phi0_deg = app.spin.phi0_deg;
        return m;
    }
};

// The model magnitudes of grid shape k at the loaded points, computed the
// straightforward way (every later facet tested, nothing shared).
std::vector<double> reference_magnitudes(const app_state& app, int k)
{
    sweep_args args = make_sweep_args(app.base, app.reference, used_spin(app.spin), step, 1);
    shape_job job = args.job;
    double p[7];
    shape_parameters(step, k, p);
    std::vector<vec3> vertices;
    deform_vertices(app.base->vertices, p, vertices);
    job.vertices = vertices.data();
    std::copy(p, p + 7, job.shape_params);
    prepared_shape shape;
    shape_outcome outcome;
    std::vector<double> brightness(static_cast<std::size_t>(job.sample_count));
    EXPECT_TRUE(prepare_shape(job, shape, nullptr, outcome));
    EXPECT_TRUE(sample_brightness(job, shape, brightness.data(), nullptr, outcome, {}));
    std::vector<double> m;
    for (double b : brightness) m.push_back(-2.5 * std::log10(b));
    return m;
}

// What the chi2 fit should give, from its definition: per block the
// weighted mean of o - m as its zero point and the weighted squares about
// it; the blocks are the runs of equal block number.
struct expected_fit {
    double chi2 = 0.0;
    int points = 0, blocks = 0;
    std::vector<double> block_chi2, zero_points;
};

expected_fit by_definition(const ref_curve& points, const std::vector<double>& m)
{
    expected_fit e;
    std::size_t first = 0;
    while (first < m.size()) {
        std::size_t end = first;
        double sw = 0.0, swd = 0.0;
        while (end < m.size() && points.photometry[end].lc_number == points.photometry[first].lc_number) {
            const double w = 1.0 / std::pow(points.photometry[end].sigma, 2);
            sw += w;
            swd += w * (points.photometry[end].magnitude - m[end]);
            ++end;
        }
        const double z = swd / sw;
        double chi2 = 0.0;
        for (std::size_t i = first; i < end; ++i)
            chi2 += std::pow(points.photometry[i].magnitude - m[i] - z, 2) / std::pow(points.photometry[i].sigma, 2);
        e.block_chi2.push_back(chi2);
        e.zero_points.push_back(z);
        e.chi2 += chi2;
        e.points += static_cast<int>(end - first);
        ++e.blocks;
        first = end;
    }
    return e;
}

// Shape k's misfit in output/main.txt.
double table_misfit(int k)
{
    for (const std::string& row : read_lines("output/main.txt")) {
        int shape = 0;
        double p[7], shift = -1.0, misfit = NAN;
        if (std::sscanf(row.c_str(), "%d %lf %lf %lf %lf %lf %lf %lf %lf %lf", &shape, &p[0], &p[1], &p[2], &p[3],
                        &p[4], &p[5], &p[6], &shift, &misfit) == 10 &&
            shape == k) {
            EXPECT_EQ(shift, 0.0);
            return misfit;
        }
    }
    return NAN;
}

}  // namespace

TEST_F(Chi2Sweep, EachShapesChi2IsTheDefinitionsAtTheObservedPoints)
{
    const ref_curve& points = *app.reference;
    ASSERT_EQ(points.times.size(), 66u);
    const std::vector<std::string> fits = read_lines("output/fits.csv");
    ASSERT_EQ(fits.size(), 1u + 12u * 3u);
    EXPECT_EQ(fits[0], "shape,block,points,chi2,zero_point");
    for (int k : {1, 5, 12}) {
        const std::vector<double> m = reference_magnitudes(app, k);
        const expected_fit e = by_definition(points, m);
        // The single point costs a degree of freedom and adds nothing.
        ASSERT_EQ(e.blocks, 3);
        EXPECT_EQ(e.block_chi2[1], 0.0);
        EXPECT_GT(e.chi2, 1.0) << "the test needs a fit that is not perfect";
        const double reduced = e.chi2 / (e.points - e.blocks);
        EXPECT_NEAR(table_misfit(k), reduced, 5.1e-7 + 1e-9 * reduced) << "shape " << k;
        for (int b = 0; b < 3; ++b) {
            int shape = 0, block = 0, count = 0;
            double chi2 = NAN, zero = NAN;
            const std::string& line = fits[static_cast<std::size_t>((k - 1) * 3 + b + 1)];
            ASSERT_EQ(std::sscanf(line.c_str(), "%d,%d,%d,%lf,%lf", &shape, &block, &count, &chi2, &zero), 5) << line;
            EXPECT_EQ(shape, k);
            EXPECT_EQ(block, b);
            EXPECT_EQ(count, b == 0 ? 40 : b == 1 ? 1 : 25);
            EXPECT_NEAR(chi2, e.block_chi2[static_cast<std::size_t>(b)], 1e-8 * e.chi2) << line;
            EXPECT_NEAR(zero, e.zero_points[static_cast<std::size_t>(b)], 5.1e-7) << line;
        }
        // The lightcurve file holds the model moved onto the observations.
        const std::vector<std::string> curve = read_lines(lightcurve_file_name(k));
        ASSERT_EQ(curve.size(), 66u);
        double t = 0.0, value = 0.0;
        ASSERT_EQ(std::sscanf(curve[40].c_str(), "%lf %lf", &t, &value), 2);
        EXPECT_NEAR(value, points.photometry[40].magnitude, 5.1e-7);  // the single point, matched exactly
        ASSERT_EQ(std::sscanf(curve[3].c_str(), "%lf %lf", &t, &value), 2);
        EXPECT_NEAR(t, points.times[3], 5.1e-7);
        EXPECT_NEAR(value, m[3] + e.zero_points[0], 5.1e-7);
    }
}

TEST_F(Chi2Sweep, TheEvaluatorGivesTheSweepsChi2BitForBitAtEveryGridShape)
{
    chi2_evaluator evaluator;
    std::string why;
    ASSERT_TRUE(evaluator.prepare(*app.reference, subdivisions, why)) << why;
    // The journal keeps the sweep's doubles by their bits.
    const journal_contents journal = read_journal("output/journal.txt");
    ASSERT_EQ(journal.rows.size(), 12u);
    for (const journal_row& row : journal.rows) {
        chi2_evaluation e;
        ASSERT_TRUE(evaluator.evaluate(grid_point(row.shape), e, why)) << why;
        EXPECT_EQ(std::bit_cast<uint64_t>(e.reduced_chi2), std::bit_cast<uint64_t>(row.misfit)) << row.shape;
        ASSERT_EQ(row.blocks.size(), 3u);
        ASSERT_EQ(e.per_block.size(), 3u);
        for (std::size_t b = 0; b < 3; ++b) {
            EXPECT_EQ(std::bit_cast<uint64_t>(e.per_block[b].chi2), std::bit_cast<uint64_t>(row.blocks[b].misfit));
            EXPECT_EQ(std::bit_cast<uint64_t>(e.per_block[b].zero_point),
                      std::bit_cast<uint64_t>(row.blocks[b].best_shift));
        }
        EXPECT_EQ(e.points, 66);
        EXPECT_EQ(e.blocks, 3);
    }
}

TEST_F(Chi2Sweep, LeavingABlockOutKeepsTheOthersAndTheirDegreesOfFreedom)
{
    chi2_evaluator evaluator;
    std::string why;
    ASSERT_TRUE(evaluator.prepare(*app.reference, subdivisions, why)) << why;
    chi2_evaluation all, without_first;
    ASSERT_TRUE(evaluator.evaluate(grid_point(7), all, why)) << why;
    ASSERT_TRUE(evaluator.evaluate(grid_point(7), without_first, why, {0, 1, 1})) << why;
    EXPECT_FALSE(without_first.per_block[0].used);
    EXPECT_EQ(without_first.per_block[2].chi2, all.per_block[2].chi2);
    EXPECT_EQ(without_first.per_block[2].zero_point, all.per_block[2].zero_point);
    EXPECT_EQ(without_first.points, 26);
    EXPECT_EQ(without_first.blocks, 2);
    EXPECT_EQ(without_first.chi2, all.per_block[1].chi2 + all.per_block[2].chi2);
    EXPECT_DOUBLE_EQ(without_first.reduced_chi2, without_first.chi2 / 24.0);
    // The residuals' spread in magnitudes: each block's chi2 is its squares
    // over its own sigma squared.
    double squares = 0.0;
    for (std::size_t b = 0; b < 3; ++b)
        squares += all.per_block[b].chi2 * std::pow(app.reference->photometry[app.reference->block_starts[b]].sigma, 2);
    EXPECT_NEAR(all.rms, std::sqrt(squares / 66.0), 1e-12 * all.rms);
    // Refusals: a mask of another length; only the single point kept.
    EXPECT_FALSE(evaluator.evaluate(grid_point(7), all, why, {1, 1}));
    EXPECT_NE(why.find("the mask has 2 entries for 3 blocks"), std::string::npos) << why;
    EXPECT_FALSE(evaluator.evaluate(grid_point(7), all, why, {0, 1, 0}));
    EXPECT_NE(why.find("no degree of freedom"), std::string::npos) << why;
}

TEST_F(Chi2Sweep, TheEvaluatorServesManyThreadsAtOnce)
{
    chi2_evaluator evaluator;
    std::string why;
    ASSERT_TRUE(evaluator.prepare(*app.reference, subdivisions, why)) << why;
    // Points off the grid: every shape parameter and the pole moved.
    std::vector<model_point> points;
    for (int i = 0; i < 8; ++i) {
        model_point p = grid_point(1 + i);
        for (double& v : p.shape) v = v * (1.0 + 0.013 * i);
        p.lambda_deg += 3.0 * i;
        points.push_back(p);
    }
    std::vector<double> alone(points.size()), together(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        chi2_evaluation e;
        ASSERT_TRUE(evaluator.evaluate(points[i], e, why)) << why;
        alone[i] = e.chi2;
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < points.size(); ++i)
        threads.emplace_back([&, i] {
            chi2_evaluation e;
            std::string failure;
            together[i] = evaluator.evaluate(points[i], e, failure) ? e.chi2 : NAN;
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(std::bit_cast<uint64_t>(together[i]), std::bit_cast<uint64_t>(alone[i])) << i;
}
