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
#include "support/scratch_dir.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/sweep_journal.hpp"
#include "workflow/controller.hpp"

namespace {

constexpr double step = 0.5;  // 12 shapes

// Three blocks of unequal, uneven sampling from three geometries: 40 points
// over most of a rotation (the period is 21.9 h), a single point, 25 points.
std::string irregular_file()
{
    const struct {
        int points;
        double hours;
        const char* geometry;
    } blocks[] = {{40, 18.0, "1.0 0.2 0.0 0.9 -0.3 0.1"},
                  {1, 0.0, "0.3 1.0 0.1 -0.2 0.9 0.4"},
                  {25, 4.0, "0.9 -0.5 0.3 0.8 0.1 -0.6"}};
    std::string text = "3\n";
    for (int b = 0; b < 3; ++b) {
        text += std::to_string(blocks[b].points) + " 0\n";
        for (int i = 0; i < blocks[b].points; ++i) {
            const double u = i / std::max(1.0, blocks[b].points - 1.0);
            char line[200];
            std::snprintf(line, sizeof line, "%.8f %.8f %s\n", 2451545.0 + 5 * b + blocks[b].hours / 24 * u * u,
                          1.0 + 0.2 * std::sin(7.0 * u) + 0.01 * std::cos(31.0 * i), blocks[b].geometry);
            text += line;
        }
    }
    return text;
}

// A chi2 sweep of the irregular file at n = 2 with sigma estimated per block.
struct Chi2Sweep : ::testing::Test {
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    void SetUp() override
    {
        on_init(app, &ui);
        write_file("irregular.zel", irregular_file());
        ui.set_field(ctl::fit, "chi2");
        ASSERT_TRUE(geosphere_and_load(app, ui, 2, "irregular.zel"));
        ui.set_field(ctl::step_size, std::to_string(step));
        ASSERT_TRUE(on_command(app, ctl::generate_shapes).done);
        wait_for_sweep(app);
        ASSERT_EQ(app.last_sweep_result.load(), 1u);
    }
    // Grid shape k with the loaded spin state.
    chi2_point grid_point(int k) const
    {
        double p[7];
        shape_parameters(step, k, p);
        chi2_point m{{p[1], p[2], p[3], p[4], p[5], p[6]},
                     app.spin.lambda_deg,
                     app.spin.beta_deg,
                     app.spin.period_hours,
                     app.spin.t0,
                     app.spin.phi0_deg};
        return m;
    }
};

// The model magnitudes of grid shape k at the loaded points, the
// straightforward way (every later facet tested, nothing shared).
std::vector<double> reference_magnitudes(const app_state& app, int k)
{
    shape_job job = make_sweep_args(app.base, app.reference, used_spin(app.spin), step, 1).job;
    shape_parameters(step, k, job.shape_params);
    std::vector<vec3> vertices;
    deform_vertices(app.base->vertices, job.shape_params, vertices);
    job.vertices = vertices.data();
    prepared_shape shape;
    shape_outcome outcome;
    std::vector<double> b(static_cast<std::size_t>(job.sample_count));
    EXPECT_TRUE(prepare_shape(job, shape, nullptr, outcome) &&
                sample_brightness(job, shape, b.data(), nullptr, outcome, {}));
    for (double& v : b) v = -2.5 * std::log10(v);
    return b;
}

}  // namespace

// The definition: per block (a run of equal block number) z = sum w (o - m)
// / sum w with w = 1 / sigma^2 and chi2_b = sum w (o - m - z)^2; the table's
// misfit is sum chi2_b / (points - blocks), fits.csv has each block's.
TEST_F(Chi2Sweep, EachShapesChi2IsTheDefinitionsAtTheObservedPoints)
{
    const std::vector<phot_point>& o = app.reference->photometry;
    const std::vector<std::string> table = read_lines("output/main.txt"), fits = read_lines("output/fits.csv");
    ASSERT_EQ(fits.size(), 1u + 12u * 3u);
    for (int k : {1, 5, 12}) {
        const std::vector<double> m = reference_magnitudes(app, k);
        ASSERT_EQ(m.size(), 66u);
        double total = 0.0;
        for (std::size_t first = 0, b = 0; first < m.size(); ++b) {
            std::size_t end = first;
            double sw = 0.0, swd = 0.0, chi2 = 0.0;
            for (; end < m.size() && o[end].lc_number == o[first].lc_number; ++end) {
                sw += 1.0 / (o[end].sigma * o[end].sigma);
                swd += (o[end].magnitude - m[end]) / (o[end].sigma * o[end].sigma);
            }
            for (std::size_t i = first; i < end; ++i)
                chi2 += std::pow((o[i].magnitude - m[i] - swd / sw) / o[i].sigma, 2);
            int shape, block, points;
            double chi2_read, zero_read;
            const std::string& line = fits[static_cast<std::size_t>(k - 1) * 3 + b + 1];
            ASSERT_EQ(std::sscanf(line.c_str(), "%d,%d,%d,%lf,%lf", &shape, &block, &points, &chi2_read, &zero_read),
                      5);
            EXPECT_EQ(points, static_cast<int>(end - first)) << line;
            EXPECT_NEAR(chi2_read, chi2, 1e-8 * chi2 + 1e-12) << line;
            EXPECT_NEAR(zero_read, swd / sw, 5.1e-7) << line;
            total += chi2;
            first = end;
        }
        EXPECT_GT(total, 1.0) << "the test needs a fit that is not perfect";
        double p[7], shift = -1.0, misfit = NAN;
        int shape = 0;
        std::sscanf(table[static_cast<std::size_t>(k - 1)].c_str(), "%d %lf %lf %lf %lf %lf %lf %lf %lf %lf", &shape,
                    &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &shift, &misfit);
        EXPECT_EQ(shift, 0.0);
        EXPECT_NEAR(misfit, total / (66 - 3), 5.1e-7 + 1e-9 * misfit) << "shape " << k;
    }
}

TEST_F(Chi2Sweep, TheEvaluatorGivesTheSweepsChi2BitForBitFromManyThreadsAndLeavesBlocksOut)
{
    chi2_evaluator evaluator;
    std::string why;
    ASSERT_TRUE(evaluator.prepare(*app.reference, 2, why)) << why;
    // The journal keeps the sweep's doubles by their bits.
    const journal_contents journal = read_journal("output/journal.txt");
    ASSERT_EQ(journal.rows.size(), 12u);
    std::vector<chi2_evaluation> at(12);
    std::vector<std::thread> threads;
    for (const journal_row& row : journal.rows)
        threads.emplace_back([&, k = row.shape] {
            std::string failure;
            evaluator.evaluate(grid_point(k), at[static_cast<std::size_t>(k - 1)], failure);
        });
    for (std::thread& t : threads) t.join();
    for (const journal_row& row : journal.rows) {
        const chi2_evaluation& e = at[static_cast<std::size_t>(row.shape - 1)];
        EXPECT_EQ(std::bit_cast<uint64_t>(e.reduced_chi2), std::bit_cast<uint64_t>(row.misfit)) << row.shape;
        ASSERT_EQ(e.per_block.size(), 3u);
        for (std::size_t b = 0; b < 3; ++b) {
            EXPECT_EQ(std::bit_cast<uint64_t>(e.per_block[b].chi2), std::bit_cast<uint64_t>(row.blocks[b].misfit));
            EXPECT_EQ(std::bit_cast<uint64_t>(e.per_block[b].zero_point),
                      std::bit_cast<uint64_t>(row.blocks[b].best_shift));
        }
    }
    // Each block's chi2 is its squares over its own sigma squared.
    const chi2_evaluation& all = at[6];
    double squares = 0.0;
    for (std::size_t b = 0; b < 3; ++b)
        squares += all.per_block[b].chi2 * std::pow(app.reference->photometry[app.reference->block_starts[b]].sigma, 2);
    EXPECT_NEAR(all.rms, std::sqrt(squares / 66.0), 1e-12 * all.rms);
    // Block 0 left out: the others as they were, their own degrees of freedom.
    chi2_evaluation without;
    ASSERT_TRUE(evaluator.evaluate(grid_point(7), without, why, {0, 1, 1})) << why;
    EXPECT_FALSE(without.per_block[0].used);
    EXPECT_EQ(without.per_block[2].chi2, all.per_block[2].chi2);
    EXPECT_EQ(without.per_block[2].zero_point, all.per_block[2].zero_point);
    EXPECT_EQ(without.points - without.blocks, 24);
    EXPECT_EQ(without.reduced_chi2, (all.per_block[1].chi2 + all.per_block[2].chi2) / 24);
    EXPECT_FALSE(evaluator.evaluate(grid_point(7), without, why, {1, 1}));
    EXPECT_FALSE(evaluator.evaluate(grid_point(7), without, why, {0, 1, 0}));
    EXPECT_NE(why.find("no degree of freedom"), std::string::npos) << why;
}
