#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "inversion/refine_files.hpp"
#include "inversion/uncertainty.hpp"
#include "support/scratch_dir.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

// The bowl of the range tests: minimum c, curvature a, centred at unit-box or linear coordinates m.
ellipsoid_bowl range_bowl(double c, double a)
{
    ellipsoid_bowl bowl{c, a, 0.6, {0.55, 0.6, 0.5, 0.45, 0.5, 0.5, 0.4}, {0.5, 0.1, 0.5, 0.3, 0.2, 0.55, 0.25}};
    const double norm = std::sqrt(square_distance(bowl.v, std::vector<double>(7, 0.0)));
    for (double& x : bowl.v) x /= norm;
    return bowl;
}

// The model at the bowl's centre in linear coordinates, with its chi2.
scored_point centre_of(const model_space& space, const ellipsoid_bowl& bowl, const objective& f)
{
    model_point x = test_start();
    for (int p = 0; p < 7; ++p) x[p] = natural_of(space, p, bowl.m[p]);
    return {0, x, f(x).chi2};
}

// The acceptable set of `points` on `threads` threads.
acceptable_set explore(const model_space& space, const objective& f, const std::vector<scored_point>& points, double nu,
                       int threads = 2)
{
    range_options options;
    options.threads = threads;
    options.max_evals = 400;  // on a smooth set the edge search places the edge precisely
    options.edge_evals = 300;
    acceptable_set set;
    std::string why;
    EXPECT_TRUE(explore_acceptable(space, f, points, nu, options, set, why)) << why;
    return set;
}

TEST(Acceptable, RangesAreTheEllipsoidsExtentWithSigmaInflatedOrNot)
{
    struct bowl_case {
        double c, nu, a, inflation;
    };
    const bowl_case cases[] = {
        {100.0, 200.0, 1000.0, 1.0},  // reduced chi2 0.5: no inflation
        {400.0, 100.0, 5000.0, 2.0},  // reduced chi2 4: sigma times 2
    };
    for (const bowl_case& k : cases) {
        const model_space space = test_space(false);
        const ellipsoid_bowl bowl = range_bowl(k.c, k.a);
        const objective f = test_objective(space, bowl);
        const scored_point centre = centre_of(space, bowl, f);
        const acceptable_set set = explore(space, f, {centre}, k.nu);
        const double threshold = k.c * (1.0 + std::sqrt(2.0 / k.nu));
        EXPECT_NEAR(set.accept.threshold, threshold, 1e-9 * threshold);
        EXPECT_DOUBLE_EQ(set.accept.sigma_inflation, k.inflation);
        EXPECT_TRUE(set.at_bound.empty());
        for (int p : set.params) {
            const double half = bowl.half_width(static_cast<std::size_t>(p), threshold - k.c);
            const double tolerance = 0.01 * half * (space.upper[p] - space.lower[p]);
            EXPECT_NEAR(set.ranges[p].best, centre.x[p], 1e-9);
            EXPECT_NEAR(set.ranges[p].min, natural_of(space, p, bowl.m[p] - half), tolerance) << model_param_name(p);
            EXPECT_NEAR(set.ranges[p].max, natural_of(space, p, bowl.m[p] + half), tolerance) << model_param_name(p);
        }
    }
}

TEST(Acceptable, SeparateBasinsBothCountOnOneAndFourThreads)
{
    struct twin_bowls {
        ellipsoid_bowl left, right;
        double at(const std::vector<double>& z) const { return std::min(left.at(z), right.at(z)); }
    };
    const model_space space = test_space(false);
    twin_bowls twins{range_bowl(100.0, 1000.0), range_bowl(100.0, 1000.0)};
    twins.left.m[0] = 0.25;
    twins.right.m[0] = 0.75;
    const objective f = test_objective(space, twins);
    const std::vector<scored_point> points = {centre_of(space, twins.left, f), centre_of(space, twins.right, f)};
    const acceptable_set set = explore(space, f, points, 200.0, 1), other = explore(space, f, points, 200.0, 4);
    EXPECT_EQ(std::memcmp(set.ranges.data(), other.ranges.data(), sizeof set.ranges), 0);
    EXPECT_EQ(set.evaluations, other.evaluations);
    const double half = twins.left.half_width(0, set.accept.threshold - 100.0);
    EXPECT_NEAR(set.ranges[0].min, natural_of(space, 0, 0.25 - half), 0.01 * half);
    EXPECT_NEAR(set.ranges[0].max, natural_of(space, 0, 0.75 + half), 0.01 * half);
}

TEST(Acceptable, AtBoundNamesTheParametersThatTouchABound)
{
    struct bound_case {
        int param;
        double centre;  // the bowl's centre along `param`, in unit coordinates
        bool touches;
    };
    const bound_case cases[] = {
        {model_param::y_scale_1, 1.08, true},   // minimum beyond the upper bound
        {model_param::x_scale_2, -0.05, true},  // beyond the lower bound
        {model_param::x_shift, -0.1, true},     // at x_shift = 1 - x_scale_2
        {model_param::z_scale_2, 0.05, true},   // inside, but the range reaches the bound
        {model_param::z_scale_2, 0.25, false},  // well inside
    };
    for (const bound_case& k : cases) {
        const model_space space = test_space(false);
        ellipsoid_bowl bowl = range_bowl(100.0, 1000.0);
        bowl.m[static_cast<std::size_t>(k.param)] = k.centre;
        const objective f = test_objective(space, bowl, true);
        refine_options options;
        options.max_evals = 2000;
        std::vector<refined> best;
        std::string why;
        ASSERT_TRUE(refine_starts(space, f, {{1, test_start(), 0.0}}, options, best, why)) << why;
        const acceptable_set set = explore(space, f, {{0, best[0].x, best[0].f.chi2}}, 200.0);
        EXPECT_EQ(set.at_bound, k.touches ? std::vector<int>{k.param} : std::vector<int>{})
            << model_param_name(k.param) << " at " << k.centre;
    }
}

TEST(Jackknife, SpreadOfTheLeaveOneOutMinimaOnOneAndFourThreads)
{
    // Block j pulls coordinate i towards t(i, j) with weight w[j]: without
    // block b the minimum is the weighted mean of the other blocks' pulls.
    const model_space space = test_space(true);
    const int blocks = 5;
    const double w[blocks] = {1.0, 2.0, 0.5, 1.5, 1.0};
    auto t = [](int i, int j) { return 0.5 + 0.04 * std::sin(1.7 * i + 2.3 * j); };
    struct left_out {
        const double* w;
        double (*t)(int, int);
        int blocks, out;
        double at(const std::vector<double>& z) const
        {
            double sum = 50.0;
            for (int i = 0; i < static_cast<int>(z.size()); ++i)
                for (int j = 0; j < blocks; ++j)
                    if (j != out) sum += 100.0 * w[j] * (z[i] - t(i, j)) * (z[i] - t(i, j));
            return sum;
        }
    };
    const objective_factory factory = [&](int b) { return test_objective(space, left_out{w, t, blocks, b}); };
    jackknife_result runs[2];
    for (int k = 0; k < 2; ++k) {
        refine_options options;
        options.threads = k == 0 ? 1 : 4;
        std::string why;
        ASSERT_TRUE(jackknife(space, factory, blocks, test_start(), options, runs[k], why)) << why;
    }
    ASSERT_EQ(runs[0].solutions.size(), static_cast<std::size_t>(blocks));
    for (int p : free_params(space)) {
        std::vector<double> minima;
        double mean = 0.0, squares = 0.0;
        for (int b = 0; b < blocks; ++b) {
            double sum = 0.0, weight = 0.0;
            for (int j = 0; j < blocks; ++j)
                if (j != b) sum += w[j] * t(p, j), weight += w[j];
            minima.push_back(natural_of(space, p, sum / weight));
            mean += minima.back() / blocks;
        }
        for (double x : minima) squares += (x - mean) * (x - mean);
        const double spread = std::sqrt((blocks - 1.0) / blocks * squares), scale = space.upper[p] - space.lower[p];
        const jackknife_spread& s = runs[0].spread[p];
        EXPECT_NEAR(s.spread, spread, 0.01 * spread + 1e-6 * scale) << model_param_name(p);
        EXPECT_NEAR(s.min, *std::min_element(minima.begin(), minima.end()), 1e-4 * scale);
        EXPECT_NEAR(s.max, *std::max_element(minima.begin(), minima.end()), 1e-4 * scale);
        EXPECT_EQ(std::memcmp(&s, &runs[1].spread[p], sizeof s), 0) << "threads";
    }
}

TEST(RefineFiles, WriteTheSolutionsAndTheUncertainty)
{
    scratch_dir dir;
    const std::string shape = "12 0.600000 0.500000 0.550000 0.450000 0.400000 1.000000 20.000000";
    for (bool spin : {false, true}) {
        const refined best{0, 12, test_start(), {150.0, 0.02}, 40, {}}, other{1, 0, test_start(), {NAN, NAN}, 7, {}};
        std::string why;
        ASSERT_TRUE(write_refined("refined.txt", test_space(spin), {best, other}, 100.0, why));
        const std::vector<std::string> lines = read_lines("refined.txt");
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].rfind("# start_shape y_scale_1 ", 0), 0u);
        EXPECT_EQ(lines[0].find("lambda_deg beta_deg period_h chi2") != std::string::npos, spin);
        EXPECT_EQ(lines[1], shape + (spin ? " 90.000000 30.000000 5.000000000" : "") + " 150 1.5 0.02 40");
        EXPECT_NE(lines[2].find(" nan nan nan 7"), std::string::npos) << lines[2];
    }

    acceptable_set set;
    set.accept = accept_threshold(400.0, 100.0);
    set.params = free_params(test_space(false));
    set.ranges[model_param::x_shift] = param_range{1.0, 0.8, NAN};
    set.at_bound = {model_param::x_scale_2, model_param::phi0_deg};
    jackknife_result jack;
    jack.blocks = 4;
    jack.params = set.params;
    jack.spread[model_param::phi0_deg] = jackknife_spread{2.5, 18.0, 23.0};
    std::string why;
    for (bool with_jackknife : {true, false}) {
        ASSERT_TRUE(write_uncertainty("uncertainty.json", set, with_jackknife ? &jack : nullptr, why)) << why;
        const nlohmann::json doc = nlohmann::json::parse(read_file("uncertainty.json"));
        EXPECT_EQ(doc["nu"], 100.0);
        EXPECT_EQ(doc["sigma_inflation"], 2.0);
        EXPECT_NEAR(doc["threshold"].get<double>(), 400.0 * (1.0 + std::sqrt(0.02)), 1e-6);
        EXPECT_EQ(doc["parameters"].size(), 7u);
        EXPECT_EQ(doc["parameters"]["x_shift"]["min"], 0.8);
        EXPECT_TRUE(doc["parameters"]["x_shift"]["max"].is_null());
        EXPECT_EQ(doc["at_bound"], nlohmann::json({"x_scale_2", "phi0_deg"}));
        EXPECT_EQ(doc["jackknife"].is_null(), !with_jackknife);
        if (with_jackknife) {
            EXPECT_EQ(doc["jackknife"]["blocks"], 4);
            EXPECT_EQ(doc["jackknife"]["phi0_deg"], nlohmann::json({{"spread", 2.5}, {"min", 18.0}, {"max", 23.0}}));
        }
    }
    EXPECT_FALSE(write_uncertainty("no/such/folder/uncertainty.json", set, nullptr, why));
    EXPECT_NE(why.find("no/such/folder"), std::string::npos) << why;
}

}  // namespace
