#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>

#include "inversion/refine.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

// A random two-basin function whose grid's best row lies in the shallower basin; `rows` gets the grid.
two_basins shallow_grid_best(const model_space& space, std::mt19937& random, std::vector<scored_point>& rows)
{
    std::uniform_real_distribution<double> inside(0.15, 0.85);
    for (;;) {
        two_basins f;
        for (int i = 0; i < free_count(space); ++i) f.a.push_back(inside(random)), f.b.push_back(inside(random));
        rows = grid_table(space, f, 4);
        const std::vector<double> u = to_unit(space, rows[pick_starts(space, rows, 1)[0]].x);
        if (f.c1 + f.w1 * square_distance(u, f.a) < f.c2 + f.w2 * square_distance(u, f.b)) return f;
    }
}

// Refines `starts` with `options`; the solutions.
std::vector<refined> refine(const model_space& space, const objective& f, const std::vector<scored_point>& starts,
                            const refine_options& options)
{
    std::vector<refined> out;
    std::string why;
    EXPECT_TRUE(refine_starts(space, f, starts, options, out, why)) << why;
    return out;
}

TEST(PickStarts, TakesTheBestOfDistinctRegionsThenFillsUp)
{
    const model_space space = test_space(false);
    // Unit y_scale_1 of rows 0-3: 0.5, 0.525, 0.55, 0.9375; row 4 has no score.
    std::vector<scored_point> rows;
    const double y1[] = {0.6, 0.62, 0.64, 0.95, 0.3}, score[] = {1.0, 0.5, 0.7, 2.0, NAN};
    for (int i = 0; i < 5; ++i) {
        rows.push_back({i + 1, test_start(), score[i]});
        rows.back().x[model_param::y_scale_1] = y1[i];
    }
    struct pick_case {
        int count;
        double distance;
        std::vector<std::size_t> picked;
    };
    const pick_case cases[] = {
        {2, 0.25, {1, 3}},        // row 3, though worse than 0 and 2, is another region
        {4, 0.25, {1, 3, 2, 0}},  // two regions only: the best others fill up
        {3, 0.03, {1, 3, 2}},     // rows 0 and 2 lie 0.025 from row 1
        {2, 0.5, {1, 2}},         // row 3 lies 0.41 from row 1: no other region
        {9, 0.0, {1, 2, 0, 3}},   // no distance: simply the best, never a NaN score
        {0, 0.25, {}},
    };
    for (const pick_case& c : cases)
        EXPECT_EQ(pick_starts(space, rows, c.count, c.distance), c.picked) << c.count << " " << c.distance;
}

TEST(Refine, BothLocalMethodsReachASmoothAKinkedAndAWrappedMinimum)
{
    const model_space space = test_space(false);
    ellipsoid_bowl bowl;
    bowl.m = {0.3, 0.7, 0.4, 0.6, 0.5, 0.35, 0.55};
    bowl.v.assign(7, 1.0 / std::sqrt(7.0));
    // Plus |u - m| terms: no derivative at the minimum, as where the visible facets change.
    struct kinked {
        ellipsoid_bowl bowl;
        double at(const std::vector<double>& u) const
        {
            double sum = bowl.at(u);
            for (std::size_t i = 0; i < u.size(); ++i) sum += 20.0 * std::fabs(u[i] - bowl.m[i]);
            return sum;
        }
    };
    // Minimum 100 at phi0 = 210 (= -150), 20 degrees past the space's window [-160, 200] from the start at 190.
    const objective wrapped = [](const model_point& x) {
        double sum = 100.0 + 5.0 * (1.0 - std::cos((x[model_param::phi0_deg] - 210.0) * M_PI / 180.0));
        for (int p = 0; p < model_param::shape_count; ++p) sum += 100.0 * (x[p] - 0.5) * (x[p] - 0.5);
        return fit_value{sum, 0.0};
    };
    model_point near_edge = test_start();
    near_edge[model_param::phi0_deg] = 190.0;
    for (local_method method : {local_method::bobyqa, local_method::sbplx})
        for (int kind = 0; kind < 3; ++kind) {
            refine_options options;
            options.local = method;
            options.max_evals = 3000;
            const objective f = kind == 0   ? test_objective(space, bowl, true)
                                : kind == 1 ? test_objective(space, kinked{bowl}, true)
                                            : wrapped;
            const std::vector<refined> out =
                refine(space, f, {scored_point{7, kind == 2 ? near_edge : test_start(), 0.0}}, options);
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].start_shape, 7);
            EXPECT_LE(out[0].evaluations, options.max_evals);
            EXPECT_NEAR(out[0].f.chi2, 100.0, 1e-3) << static_cast<int>(method) << " objective " << kind;
            if (kind == 2) {
                EXPECT_NEAR(std::remainder(out[0].x[model_param::phi0_deg] - 210.0, 360.0), 0.0, 0.1);
                continue;
            }
            const std::vector<double> u = to_unit(space, out[0].x);
            for (std::size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(u[i], bowl.m[i], 2e-3) << i;
        }
}

TEST(Refine, ReachesTheDeeperBasinFromDistinctStartsOrTheGlobalStage)
{
    const model_space space = test_space(false);
    std::mt19937 random(7);
    const int trials = 20;
    int best_only = 0, near = 0, distinct = 0, global = 0, hops = 0;
    for (int trial = 0; trial < trials; ++trial) {
        std::vector<scored_point> rows;
        const two_basins f = shallow_grid_best(space, random, rows);
        // Whether refining from these starts (and the stage asked) ends in the deeper basin.
        auto reaches = [&](const std::vector<std::size_t>& picked, global_method stage) {
            std::vector<scored_point> starts;
            for (std::size_t i : picked) starts.push_back(rows[i]);
            refine_options options;
            options.global = stage;
            options.global_evals = 2000;
            options.threads = 2;
            return refine(space, test_objective(space, f, true), starts, options)[0].f.chi2 < f.c2 + 1e-4;
        };
        best_only += reaches(pick_starts(space, rows, 1), global_method::none);
        near += reaches(pick_starts(space, rows, 8, 0.15), global_method::none);
        distinct += reaches(pick_starts(space, rows, 8), global_method::none);
        global += reaches(pick_starts(space, rows, 1), global_method::mlsl_lds);
        hops += reaches(pick_starts(space, rows, 1), global_method::hops);
    }
    std::printf("deeper basin reached in %d trials: from the best start only %d, from 8 starts 0.15 apart %d, "
                "%g apart %d, with MLSL %d, with hops %d\n",
                trials, best_only, near, default_start_distance, distinct, global, hops);
    EXPECT_LT(best_only, distinct);
    EXPECT_LT(near, distinct);
    EXPECT_GE(distinct, trials * 3 / 4);
    EXPECT_GE(global, trials / 2);
}

// In a rippled valley the local search stops in a ripple far from the
// valley's lowest point; the hops from there get on along it.
TEST(Refine, HopsGetAlongARippledValleyWhereTheLocalSearchStops)
{
    const model_space space = test_space(false);
    std::mt19937 random(11);
    std::uniform_real_distribution<double> inside(0.3, 0.7), direction(-1.0, 1.0);
    const int trials = 10;
    int lower = 0;
    for (int trial = 0; trial < trials; ++trial) {
        rippled_valley f;
        double norm = 0.0;
        for (int i = 0; i < free_count(space); ++i) {
            f.valley.m.push_back(inside(random));
            f.valley.v.push_back(direction(random));
            norm += f.valley.v.back() * f.valley.v.back();
        }
        for (double& x : f.valley.v) x /= std::sqrt(norm);
        // The start: along the valley, 0.3 from its lowest point.
        std::vector<double> u = f.valley.m;
        for (std::size_t i = 0; i < u.size(); ++i) u[i] += 0.3 * f.valley.v[i];
        const std::vector<scored_point> start = {{1, from_unit(space, u.data()), 0.0}};
        refine_options options;
        options.max_evals = 150;
        options.threads = 2;
        const double local = refine(space, test_objective(space, f, true), start, options)[0].f.chi2;
        options.global = global_method::hops;
        options.global_evals = 2400;
        const double hopped = refine(space, test_objective(space, f, true), start, options)[0].f.chi2;
        lower += hopped < local - 5.0;
    }
    EXPECT_GE(lower, trials * 8 / 10);
}

TEST(Refine, SameResultsOnOneAndFourThreads)
{
    const model_space space = test_space(true);
    std::mt19937 random(3);
    std::vector<scored_point> rows, starts;
    const two_basins f = shallow_grid_best(space, random, rows);
    for (std::size_t i : pick_starts(space, rows, 6)) starts.push_back(rows[i]);
    for (global_method stage : {global_method::mlsl_lds, global_method::crs2_lm, global_method::hops}) {
        std::vector<refined> runs[2];
        for (int k = 0; k < 2; ++k) {
            refine_options options;
            options.global = stage;
            options.global_evals = 1500;
            options.threads = k == 0 ? 1 : 4;
            runs[k] = refine(space, test_objective(space, f, true), starts, options);
        }
        ASSERT_EQ(runs[0].size(), starts.size() + 1);
        ASSERT_EQ(runs[1].size(), runs[0].size());
        for (std::size_t i = 0; i < runs[0].size(); ++i) {
            const refined &a = runs[0][i], &b = runs[1][i];
            EXPECT_TRUE(a.start == b.start && a.evaluations == b.evaluations && a.x == b.x &&
                        std::memcmp(&a.f.chi2, &b.f.chi2, sizeof(double)) == 0)
                << i;
            EXPECT_TRUE(i == 0 || !refined_before(a, runs[0][i - 1])) << i;
        }
    }
}

TEST(Refine, StopsAtAStopRequestAndPassesTheObjectivesFailureOn)
{
    const model_space space = test_space(false);
    const std::vector<scored_point> starts = {{1, test_start(), 0.0}, {2, test_start(), 0.0}};
    std::atomic<int32_t> cancel{0};
    int calls = 0;
    refine_options options;
    options.stop.cancel = &cancel;
    std::vector<refined> out;
    std::string why;
    const objective cancelling = [&](const model_point&) {
        if (++calls == 5) cancel = 1;
        return fit_value{1.0, 0.0};
    };
    EXPECT_FALSE(refine_starts(space, cancelling, starts, options, out, why));
    EXPECT_EQ(why, "stopped");
    EXPECT_EQ(calls, 5);
    const objective failing = [](const model_point&) -> fit_value { throw std::runtime_error("model broke"); };
    try {
        refine_starts(space, failing, starts, refine_options{}, out, why);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "model broke");
    }
}

}  // namespace
