#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>

#include "inversion/refine.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

// A bowl centred at unit point m, its minimum 100.
ellipsoid_bowl bowl_at(const model_space& space, std::vector<double> m)
{
    ellipsoid_bowl bowl;
    bowl.m = std::move(m);
    bowl.v.assign(static_cast<std::size_t>(free_count(space)), 1.0 / std::sqrt(free_count(space)));
    return bowl;
}

// A random two-basin function whose grid's best row lies in the shallower
// basin; `rows` gets that grid.
two_basins shallow_grid_best(const model_space& space, std::mt19937& random, std::vector<scored_point>& rows)
{
    std::uniform_real_distribution<double> inside(0.15, 0.85);
    const std::size_t n = static_cast<std::size_t>(free_count(space));
    for (;;) {
        two_basins f;
        f.a.resize(n);
        f.b.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            f.a[i] = inside(random);
            f.b[i] = inside(random);
        }
        rows = grid_table(space, f, 4);
        const scored_point& best = rows[pick_starts(space, rows, 1)[0]];
        const std::vector<double> u = to_unit(space, best.x);
        double da = 0.0, db = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            da += (u[i] - f.a[i]) * (u[i] - f.a[i]);
            db += (u[i] - f.b[i]) * (u[i] - f.b[i]);
        }
        if (f.c1 + f.w1 * da < f.c2 + f.w2 * db) return f;
    }
}

// Whether two solution lists are the same bit for bit.
bool same_solutions(const std::vector<refined>& a, const std::vector<refined>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].start_shape != b[i].start_shape || a[i].evaluations != b[i].evaluations ||
            std::memcmp(&a[i].x, &b[i].x, sizeof a[i].x) != 0 ||
            std::memcmp(&a[i].f.chi2, &b[i].f.chi2, sizeof(double)) != 0)
            return false;
    return true;
}

TEST(PickStarts, TakesTheBestOfDistinctRegionsThenFillsUp)
{
    const model_space space = make_model_space(test_start(), false);
    // Rows 0-2 lie together; row 3 far off; row 4 is NaN.
    auto row = [&](int shape, double y1, double score) {
        model_point x = test_start();
        x[model_param::y_scale_1] = y1;
        return scored_point{shape, x, score};
    };
    const std::vector<scored_point> rows = {row(1, 0.60, 1.0), row(2, 0.62, 0.5), row(3, 0.64, 0.7), row(4, 0.95, 2.0),
                                            row(5, 0.30, NAN)};
    struct pick_case {
        int count;
        double distance;
        std::vector<std::size_t> picked;
    };
    // Unit y_scale_1 of the rows: 0.5, 0.525, 0.55, 0.9375.
    const pick_case cases[] = {
        {1, 0.25, {1}},           // the best
        {2, 0.25, {1, 3}},        // row 3, though worse than 0 and 2, is another region
        {4, 0.25, {1, 3, 2, 0}},  // two regions only: the best others fill up
        {3, 0.03, {1, 3, 2}},     // rows 0 and 2 lie 0.025 from row 1
        {2, 0.5, {1, 2}},         // row 3 lies 0.41 from row 1: no other region
        {3, 0.0, {1, 2, 0}},      // no distance: simply the best
        {9, 0.25, {1, 3, 2, 0}},  // never a NaN score
        {0, 0.25, {}},            // none asked
    };
    for (const pick_case& c : cases)
        EXPECT_EQ(pick_starts(space, rows, c.count, c.distance), c.picked) << c.count << " " << c.distance;
}

TEST(Refine, BothLocalMethodsReachASmoothAndAKinkedMinimum)
{
    const model_space space = make_model_space(test_start(), false);
    const std::vector<double> m = {0.3, 0.7, 0.4, 0.6, 0.5, 0.35, 0.55};
    const ellipsoid_bowl bowl = bowl_at(space, m);
    // The bowl plus |u - m| terms: no derivative at the minimum, as a fit
    // whose visible facets change there has none.
    struct kinked {
        ellipsoid_bowl bowl;
        double at(const std::vector<double>& u) const
        {
            double sum = bowl.at(u);
            for (std::size_t i = 0; i < u.size(); ++i) sum += 20.0 * std::fabs(u[i] - bowl.m[i]);
            return sum;
        }
    };
    const std::vector<scored_point> start = {scored_point{7, test_start(), 0.0}};
    for (local_method method : {local_method::bobyqa, local_method::sbplx})
        for (int smooth = 0; smooth < 2; ++smooth) {
            refine_options options;
            options.local = method;
            options.max_evals = 3000;
            const objective f = smooth ? unit_objective(space, bowl) : unit_objective(space, kinked{bowl});
            std::vector<refined> out;
            std::string why;
            ASSERT_TRUE(refine_starts(space, f, start, options, out, why)) << why;
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].start_shape, 7);
            EXPECT_LE(out[0].evaluations, options.max_evals);
            EXPECT_NEAR(out[0].f.chi2, 100.0, 1e-3) << static_cast<int>(method) << " smooth " << smooth;
            const std::vector<double> u = to_unit(space, out[0].x);
            for (std::size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(u[i], m[i], 2e-3) << i;
        }
}

TEST(Refine, APhaseNearItsWindowsEdgeMovesPastIt)
{
    // The space's phi0 window is [-160, 200]; the minimum lies at 210
    // (= -150), 20 degrees beyond the edge from a start at 190.
    const model_space space = make_model_space(test_start(), false);
    const objective f = [](const model_point& x) {
        double shape = 0.0;
        for (int p = 0; p < model_param::shape_count; ++p) shape += (x[p] - 0.5) * (x[p] - 0.5);
        const double phase = x[model_param::phi0_deg] * M_PI / 180.0 - 210.0 * M_PI / 180.0;
        return fit_value{10.0 + 100.0 * shape + 5.0 * (1.0 - std::cos(phase)), 0.0};
    };
    model_point start = test_start();
    start[model_param::phi0_deg] = 190.0;
    std::vector<refined> out;
    std::string why;
    ASSERT_TRUE(refine_starts(space, f, {scored_point{1, start, 0.0}}, refine_options{}, out, why)) << why;
    EXPECT_NEAR(out[0].f.chi2, 10.0, 1e-6);
    EXPECT_NEAR(std::remainder(out[0].x[model_param::phi0_deg] - 210.0, 360.0), 0.0, 0.05);
}

TEST(Refine, ReachesTheDeeperBasinFromDistinctStartsOrTheGlobalStage)
{
    const model_space space = make_model_space(test_start(), false);
    std::mt19937 random(7);
    const int trials = 20;
    int best_only = 0, near = 0, distinct = 0, global = 0;
    for (int trial = 0; trial < trials; ++trial) {
        std::vector<scored_point> rows;
        const two_basins f = shallow_grid_best(space, random, rows);
        const objective objective_f = unit_objective(space, f);
        // Whether refining from these starts (and the stage asked) ends in the deeper basin.
        auto reaches = [&](const std::vector<std::size_t>& picked, global_method stage) {
            std::vector<scored_point> starts;
            for (std::size_t i : picked) starts.push_back(rows[i]);
            refine_options options;
            options.global = stage;
            options.global_evals = 2000;
            options.threads = 2;
            std::vector<refined> out;
            std::string why;
            EXPECT_TRUE(refine_starts(space, objective_f, starts, options, out, why)) << why;
            return !out.empty() && out[0].f.chi2 < f.c2 + 1e-4;
        };
        best_only += reaches(pick_starts(space, rows, 1), global_method::none);
        near += reaches(pick_starts(space, rows, 8, 0.15), global_method::none);
        distinct += reaches(pick_starts(space, rows, 8), global_method::none);
        global += reaches(pick_starts(space, rows, 1), global_method::mlsl_lds);
    }
    std::printf("deeper basin reached in %d trials: from the best start only %d, from 8 starts 0.15 apart %d, "
                "%g apart %d, with MLSL %d\n",
                trials, best_only, near, default_start_distance, distinct, global);
    EXPECT_LT(best_only, distinct);
    EXPECT_LT(near, distinct);
    EXPECT_GE(distinct, trials * 3 / 4);
    EXPECT_GE(global, trials / 2);
}

TEST(Refine, SameResultsOnOneAndFourThreads)
{
    const model_space space = make_model_space(test_start(), true);
    std::mt19937 random(3);
    std::vector<scored_point> rows;
    const two_basins f = shallow_grid_best(space, random, rows);
    std::vector<scored_point> starts;
    for (std::size_t i : pick_starts(space, rows, 6)) starts.push_back(rows[i]);
    for (global_method stage : {global_method::mlsl_lds, global_method::crs2_lm}) {
        std::vector<refined> runs[2];
        for (int k = 0; k < 2; ++k) {
            refine_options options;
            options.global = stage;
            options.global_evals = 1500;
            options.threads = k == 0 ? 1 : 4;
            std::string why;
            ASSERT_TRUE(refine_starts(space, unit_objective(space, f), starts, options, runs[k], why)) << why;
        }
        ASSERT_EQ(runs[0].size(), starts.size() + 1);
        EXPECT_TRUE(same_solutions(runs[0], runs[1]));
        for (std::size_t i = 1; i < runs[0].size(); ++i) EXPECT_FALSE(refined_before(runs[0][i], runs[0][i - 1]));
    }
}

TEST(Refine, StopsAtAStopRequestAndPassesTheObjectivesFailureOn)
{
    const model_space space = make_model_space(test_start(), false);
    const std::vector<scored_point> starts = {scored_point{1, test_start(), 0.0}, scored_point{2, test_start(), 0.0}};
    std::atomic<int32_t> cancel{0};
    std::atomic<int> calls{0};
    const objective cancelling = [&](const model_point&) {
        if (++calls == 5) cancel = 1;
        return fit_value{1.0, 0.0};
    };
    refine_options options;
    options.stop.cancel = &cancel;
    std::vector<refined> out;
    std::string why;
    EXPECT_FALSE(refine_starts(space, cancelling, starts, options, out, why));
    EXPECT_EQ(why, "stopped");
    EXPECT_EQ(calls.load(), 5);

    const objective failing = [](const model_point&) -> fit_value { throw std::runtime_error("model broke"); };
    try {
        refine_starts(space, failing, starts, refine_options{}, out, why);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "model broke");
    }
}

}  // namespace
