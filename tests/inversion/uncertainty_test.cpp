#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "inversion/refine_files.hpp"
#include "inversion/uncertainty.hpp"
#include "support/scratch_dir.hpp"
#include "tests/inversion/analytic_objectives.hpp"

namespace {

// The bowl of the range tests: centre m (linear coordinates), curvature a.
ellipsoid_bowl range_bowl(double c, double a)
{
    ellipsoid_bowl bowl;
    bowl.c = c;
    bowl.a = a;
    bowl.m = {0.55, 0.6, 0.5, 0.45, 0.5, 0.5, 0.4};
    bowl.v = {0.5, 0.1, 0.5, 0.3, 0.2, 0.55, 0.25};
    double norm = 0.0;
    for (double x : bowl.v) norm += x * x;
    for (double& x : bowl.v) x /= std::sqrt(norm);
    return bowl;
}

// Refines from the test start; the best solution as a scored point.
scored_point refined_best(const model_space& space, const objective& f)
{
    std::vector<refined> out;
    std::string why;
    refine_options options;
    options.max_evals = 2000;
    EXPECT_TRUE(refine_starts(space, f, {scored_point{1, test_start(), 0.0}}, options, out, why)) << why;
    return out.empty() ? scored_point{} : scored_point{0, out[0].x, out[0].f.chi2};
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
        const model_space space = make_model_space(test_start(), false);
        const ellipsoid_bowl bowl = range_bowl(k.c, k.a);
        const objective f = linear_objective(space, bowl);
        model_point centre = test_start();
        for (std::size_t i = 0; i < bowl.m.size(); ++i) centre[i] = natural_of(space, static_cast<int>(i), bowl.m[i]);
        acceptable_set set;
        std::string why;
        range_options options;
        options.threads = 2;
        ASSERT_TRUE(explore_acceptable(space, f, {scored_point{0, centre, f(centre).chi2}}, k.nu, options, set, why))
            << why;
        const double threshold = k.c * (1.0 + std::sqrt(2.0 / k.nu));
        EXPECT_NEAR(set.accept.threshold, threshold, 1e-9 * threshold);
        EXPECT_DOUBLE_EQ(set.accept.sigma_inflation, k.inflation);
        EXPECT_TRUE(set.at_bound.empty());
        for (int p : set.params) {
            const std::size_t i = static_cast<std::size_t>(p);
            const double half = bowl.half_width(i, threshold - k.c);
            const double scale = space.upper[p] - space.lower[p];
            EXPECT_NEAR(set.ranges[p].best, centre[p], 1e-9 * scale);
            EXPECT_NEAR(set.ranges[p].min, natural_of(space, p, bowl.m[i] - half), 0.01 * half * scale)
                << model_param_name(p) << " c " << k.c;
            EXPECT_NEAR(set.ranges[p].max, natural_of(space, p, bowl.m[i] + half), 0.01 * half * scale)
                << model_param_name(p) << " c " << k.c;
        }
    }
}

TEST(Acceptable, SeparateBasinsBothCount)
{
    // Two equal bowls apart along y_scale_1: the range spans both.
    struct twin_bowls {
        ellipsoid_bowl left, right;
        double at(const std::vector<double>& z) const { return std::min(left.at(z), right.at(z)); }
    };
    const model_space space = make_model_space(test_start(), false);
    twin_bowls twins{range_bowl(100.0, 1000.0), range_bowl(100.0, 1000.0)};
    twins.left.m[0] = 0.25;
    twins.right.m[0] = 0.75;
    const objective f = linear_objective(space, twins);
    std::vector<scored_point> points;
    for (const ellipsoid_bowl* b : {&twins.left, &twins.right}) {
        model_point x = test_start();
        for (std::size_t i = 0; i < b->m.size(); ++i) x[i] = natural_of(space, static_cast<int>(i), b->m[i]);
        points.push_back(scored_point{0, x, f(x).chi2});
    }
    acceptable_set sets[2];
    for (int k = 0; k < 2; ++k) {
        range_options options;
        options.threads = k == 0 ? 1 : 4;
        std::string why;
        ASSERT_TRUE(explore_acceptable(space, f, points, 200.0, options, sets[k], why)) << why;
    }
    EXPECT_EQ(std::memcmp(sets[0].ranges.data(), sets[1].ranges.data(), sizeof sets[0].ranges), 0) << "threads";
    EXPECT_EQ(sets[0].evaluations, sets[1].evaluations);
    const acceptable_set& set = sets[0];
    const double half = twins.left.half_width(0, set.accept.threshold - 100.0);
    EXPECT_NEAR(set.ranges[0].min, natural_of(space, 0, 0.25 - half), 0.01 * half);
    EXPECT_NEAR(set.ranges[0].max, natural_of(space, 0, 0.75 + half), 0.01 * half);
}

TEST(Acceptable, AtBoundNamesTheParametersThatTouchABound)
{
    struct bound_case {
        int param;
        double centre;  // unit coordinate of the bowl's centre along `param`
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
        const model_space space = make_model_space(test_start(), false);
        ellipsoid_bowl bowl = range_bowl(100.0, 1000.0);
        bowl.m[static_cast<std::size_t>(k.param)] = k.centre;
        const objective f = unit_objective(space, bowl);
        acceptable_set set;
        std::string why;
        ASSERT_TRUE(explore_acceptable(space, f, {refined_best(space, f)}, 200.0, range_options{}, set, why)) << why;
        EXPECT_EQ(set.at_bound, k.touches ? std::vector<int>{k.param} : std::vector<int>{})
            << model_param_name(k.param) << " at " << k.centre;
    }
}

TEST(Jackknife, SpreadOfTheLeaveOneOutMinima)
{
    // Block j pulls parameter i towards t[i][j] with weight w[j]; leaving
    // block b out, the minimum is the weighted mean of the others.
    const model_space space = make_model_space(test_start(), true);
    const int blocks = 5, n = free_count(space);
    const double w[blocks] = {1.0, 2.0, 0.5, 1.5, 1.0};
    std::vector<std::vector<double>> t(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < blocks; ++j) t[i].push_back(0.5 + 0.04 * std::sin(1.7 * i + 2.3 * j));
    struct left_out {
        const std::vector<std::vector<double>>* t;
        const double* w;
        int blocks, out;
        double at(const std::vector<double>& z) const
        {
            double sum = 50.0;
            for (std::size_t i = 0; i < z.size(); ++i)
                for (int j = 0; j < blocks; ++j)
                    if (j != out) sum += 100.0 * w[j] * (z[i] - (*t)[i][j]) * (z[i] - (*t)[i][j]);
            return sum;
        }
    };
    const objective_factory factory = [&](int b) { return linear_objective(space, left_out{&t, w, blocks, b}); };
    model_point best = test_start();
    const std::vector<int> params = free_params(space);
    jackknife_result runs[2];
    for (int k = 0; k < 2; ++k) {
        refine_options options;
        options.threads = k == 0 ? 1 : 4;
        std::string why;
        ASSERT_TRUE(jackknife(space, factory, blocks, best, options, runs[k], why)) << why;
    }
    const jackknife_result& jack = runs[0];
    ASSERT_EQ(jack.blocks, blocks);
    ASSERT_EQ(jack.solutions.size(), static_cast<std::size_t>(blocks));
    for (std::size_t i = 0; i < params.size(); ++i) {
        const int p = params[i];
        std::vector<double> minima;
        for (int b = 0; b < blocks; ++b) {
            double sum = 0.0, weight = 0.0;
            for (int j = 0; j < blocks; ++j)
                if (j != b) sum += w[j] * t[i][j], weight += w[j];
            minima.push_back(natural_of(space, p, sum / weight));
        }
        double mean = 0.0, squares = 0.0;
        for (double x : minima) mean += x / blocks;
        for (double x : minima) squares += (x - mean) * (x - mean);
        const double spread = std::sqrt((blocks - 1.0) / blocks * squares);
        const double scale = space.upper[p] - space.lower[p];
        EXPECT_NEAR(jack.spread[p].spread, spread, 0.01 * spread + 1e-6 * scale) << model_param_name(p);
        EXPECT_NEAR(jack.spread[p].min, *std::min_element(minima.begin(), minima.end()), 1e-4 * scale);
        EXPECT_NEAR(jack.spread[p].max, *std::max_element(minima.begin(), minima.end()), 1e-4 * scale);
        EXPECT_EQ(std::memcmp(&jack.spread[p], &runs[1].spread[p], sizeof jack.spread[p]), 0) << "threads";
    }
}

TEST(RefineFiles, WriteTheSolutionsAndTheUncertainty)
{
    scratch_dir dir;
    for (bool spin : {false, true}) {
        const model_space space = make_model_space(test_start(), spin);
        refined best{0, 12, test_start(), fit_value{150.0, 0.02}, 40};
        refined other{1, 0, test_start(), fit_value{NAN, NAN}, 7};
        std::string why;
        ASSERT_TRUE(write_refined("refined.txt", space, {best, other}, 100.0, why)) << why;
        const std::vector<std::string> lines = read_lines("refined.txt");
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].rfind("# start_shape y_scale_1 ", 0), 0u);
        EXPECT_EQ(lines[0].find("lambda_deg beta_deg period_h chi2") != std::string::npos, spin);
        EXPECT_EQ(lines[1], spin
                                ? "12 0.600000 0.500000 0.550000 0.450000 0.400000 1.000000 20.000000 90.000000 "
                                  "30.000000 5.000000000 150 1.5 0.02 40"
                                : "12 0.600000 0.500000 0.550000 0.450000 0.400000 1.000000 20.000000 150 1.5 0.02 40");
        EXPECT_NE(lines[2].find(" nan nan nan 7"), std::string::npos) << lines[2];
    }

    const model_space space = make_model_space(test_start(), false);
    acceptable_set set;
    set.accept = accept_threshold(400.0, 100.0);
    set.params = free_params(space);
    set.ranges[model_param::x_shift] = param_range{1.0, 0.8, NAN};
    set.at_bound = {model_param::x_scale_2, model_param::phi0_deg};
    jackknife_result jack;
    jack.blocks = 4;
    jack.params = set.params;
    jack.spread[model_param::phi0_deg] = jackknife_spread{2.5, 18.0, 23.0};
    std::string why;
    const jackknife_result* none = nullptr;
    for (const jackknife_result* j : {const_cast<const jackknife_result*>(&jack), none}) {
        ASSERT_TRUE(write_uncertainty("uncertainty.json", set, j, why)) << why;
        const nlohmann::json doc = nlohmann::json::parse(read_file("uncertainty.json"));
        EXPECT_EQ(doc["nu"], 100.0);
        EXPECT_EQ(doc["sigma_inflation"], 2.0);
        EXPECT_NEAR(doc["threshold"].get<double>(), 400.0 * (1.0 + std::sqrt(0.02)), 1e-6);
        EXPECT_EQ(doc["parameters"].size(), 7u);
        EXPECT_EQ(doc["parameters"]["x_shift"]["min"], 0.8);
        EXPECT_TRUE(doc["parameters"]["x_shift"]["max"].is_null());
        EXPECT_EQ(doc["at_bound"], nlohmann::json({"x_scale_2", "phi0_deg"}));
        if (j) {
            EXPECT_EQ(doc["jackknife"]["blocks"], 4);
            EXPECT_EQ(doc["jackknife"]["phi0_deg"]["spread"], 2.5);
        } else {
            EXPECT_TRUE(doc["jackknife"].is_null());
        }
    }
    EXPECT_FALSE(write_uncertainty("no/such/folder/uncertainty.json", set, nullptr, why));
    EXPECT_NE(why.find("no/such/folder"), std::string::npos) << why;
}

}  // namespace
