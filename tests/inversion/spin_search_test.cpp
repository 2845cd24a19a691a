// The spin search: the pole grid, the period scan, and the search itself
// on a small synthetic set of known pole.
#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inversion/period_scan.hpp"
#include "inversion/pole_grid.hpp"
#include "inversion/spin_journal.hpp"
#include "inversion/spin_search.hpp"
#include "mesh/base_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/spin.hpp"

namespace {

constexpr double degree = 0.017453292519943295;

// A unit vector at ecliptic longitude and latitude (degrees).
vec3 direction(double lambda_deg, double beta_deg)
{
    return {std::cos(beta_deg * degree) * std::cos(lambda_deg * degree),
            std::cos(beta_deg * degree) * std::sin(lambda_deg * degree), std::sin(beta_deg * degree)};
}

// The true model of the synthetic set.
constexpr double truth_shape[6] = {0.8, 0.6, 0.9, 0.7, 0.5, 1.0};
constexpr double truth_lambda = 60.0, truth_beta = 40.0, truth_period = 7.0, truth_phi0 = 30.0;

// Four blocks of 24 points, each over most of a rotation, seen from four
// directions around the ecliptic and lit 20 degrees off: the model's
// magnitudes at n = 2, sigma 0.01, no noise.
ref_curve synthetic_points()
{
    ref_curve r;
    const double start = 2451545.0;
    for (int b = 0; b < 4; ++b) {
        r.block_starts.push_back(static_cast<int32_t>(r.times.size()));
        r.blocks.push_back(b);
        for (int i = 0; i < 24; ++i) {
            r.times.push_back(start + 40.0 * b + (truth_period / 24.0) * 0.95 * i / 23.0);
            r.earth.push_back(direction(95.0 * b + 10.0, 10.0 * (b % 2) - 5.0));
            r.sun.push_back(direction(95.0 * b + 30.0, 0.0));
        }
    }
    r.block_starts.push_back(static_cast<int32_t>(r.times.size()));
    const auto base = build_base_mesh(2);
    const double params[7] = {
        1.0, truth_shape[0], truth_shape[1], truth_shape[2], truth_shape[3], truth_shape[4], truth_shape[5]};
    std::vector<vec3> deformed;
    deform_vertices(base->vertices, params, deformed);
    const sweep_spin spin = typed_spin(truth_lambda, truth_beta, truth_period, 0.0, truth_phi0);
    shape_job job =
        one_shape_job(*base, deformed, params,
                      {static_cast<int32_t>(r.times.size()), r.earth.data(), r.sun.data(), r.times.data()}, spin);
    job.no_curves = true;
    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    EXPECT_TRUE(fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {}));
    for (std::size_t i = 0; i < r.times.size(); ++i)
        r.photometry.push_back({std::log10(scratch.brightness[i]) * (-2.5), 0.01, 'V', static_cast<int32_t>(i / 24)});
    return r;
}

// An evaluator of the synthetic set at n subdivisions.
std::shared_ptr<const chi2_evaluator> evaluator(int n)
{
    auto ev = std::make_shared<chi2_evaluator>();
    std::string why;
    EXPECT_TRUE(ev->prepare(synthetic_points(), n, why)) << why;
    return ev;
}

// Small fits, so that a search of a few dozen spins takes seconds.
spin_fit_settings quick_fits()
{
    spin_fit_settings s;
    s.grid_step = 0.9;  // 4 shapes
    s.phases = 8;
    s.starts = 2;
    s.local_evals = 25;
    return s;
}

// A search of the 12 poles of nside 1 and their sub-pixels at the true
// period, with small fits.
spin_search_request two_level_search()
{
    spin_search_request request;
    request.nside = 1;
    request.levels = 2;
    request.periods = {truth_period};
    request.coarse = quick_fits();
    request.fine = quick_fits();
    request.carry = 3;
    return request;
}

// Whether two spins agree in every field, bit for bit.
bool same_spin(const spin_fit& a, const spin_fit& b)
{
    return a.level == b.level && a.at.pixel == b.at.pixel && a.at.nside == b.at.nside &&
           a.period_index == b.period_index && std::memcmp(&a.x, &b.x, sizeof a.x) == 0 &&
           std::memcmp(&a.chi2, &b.chi2, sizeof a.chi2) == 0 && a.evaluations == b.evaluations;
}

}  // namespace

TEST(PoleGrid, EqualAreaPixelsCoverTheSkyAndNest)
{
    std::string why;
    for (int bad : {0, 3, 6, 128, -2}) EXPECT_FALSE(check_pole_nside(bad, why)) << bad;
    for (int32_t nside : {1, 2, 4, 8}) {
        ASSERT_TRUE(check_pole_nside(nside, why));
        const std::vector<pole> poles = pole_grid(nside);
        ASSERT_EQ(poles.size(), static_cast<std::size_t>(12 * nside * nside));
        double sx = 0, sy = 0, sz = 0;
        for (std::size_t i = 0; i < poles.size(); ++i) {
            const pole& p = poles[i];
            EXPECT_EQ(p.pixel, static_cast<int64_t>(i));
            EXPECT_GE(p.lambda_deg, 0.0);
            EXPECT_LT(p.lambda_deg, 360.0);
            EXPECT_LE(std::fabs(p.beta_deg), 90.0);
            const vec3 v = direction(p.lambda_deg, p.beta_deg);
            sx += v.x, sy += v.y, sz += v.z;
        }
        // Equal areas spread evenly: the centres balance out.
        EXPECT_NEAR(std::hypot(sx, sy, sz) / poles.size(), 0.0, 1e-9) << nside;
        // Every direction of the sky has a pole within one spacing.
        for (int k = 0; k < 200; ++k) {
            const double l = std::fmod(137.50776 * k, 360.0), b = std::asin(2.0 * (k + 0.5) / 200 - 1) / degree;
            double nearest = 180.0;
            for (const pole& p : poles) nearest = std::min(nearest, pole_distance_deg(l, b, p.lambda_deg, p.beta_deg));
            EXPECT_LT(nearest, pole_spacing_deg(nside)) << nside << " at " << l << ", " << b;
        }
        // A pixel's four children lie around its centre, at the next resolution.
        for (const pole& p : poles) {
            const std::vector<pole> children = pole_children(p);
            ASSERT_EQ(children.size(), 4u);
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(children[k].nside, 2 * nside);
                EXPECT_EQ(children[k].pixel, 4 * p.pixel + k);
                EXPECT_LT(pole_distance_deg(p.lambda_deg, p.beta_deg, children[k].lambda_deg, children[k].beta_deg),
                          pole_spacing_deg(nside));
            }
        }
    }
    EXPECT_NEAR(pole_spacing_deg(2), 29.3, 0.05);
}

TEST(PeriodScan, RangesParseAndTheDefaultStepKeepsTheDriftSmall)
{
    period_range r;
    std::string why;
    for (const char* bad : {"", "5", "5:", ":5", "6:5", "5:6:0", "5:6:-1", "a:6", "5:6:7:8", "0:5", "5:nan"})
        EXPECT_FALSE(parse_period_range(bad, r, why)) << bad;
    ASSERT_TRUE(parse_period_range("5.2:5.4", r, why)) << why;
    EXPECT_EQ(r.first_h, 5.2);
    EXPECT_EQ(r.last_h, 5.4);
    EXPECT_EQ(r.step_h, 0.0);
    // Over 100 days, neighbouring periods at the default step differ by a
    // tenth of a turn across the span.
    const double step = default_period_step(5.2, 100.0);
    EXPECT_NEAR(100.0 * 24 / 5.2 - 100.0 * 24 / (5.2 + step), period_drift_turns, 1e-3);
    std::vector<double> periods;
    ASSERT_TRUE(period_list(r, 100.0, periods, why)) << why;
    EXPECT_EQ(periods.front(), 5.2);
    EXPECT_LE(periods.back(), 5.4);
    EXPECT_GT(periods.back(), 5.4 - step);
    ASSERT_TRUE(parse_period_range("5:6:0.25", r, why));
    ASSERT_TRUE(period_list(r, 100.0, periods, why));
    EXPECT_EQ(periods, (std::vector<double>{5.0, 5.25, 5.5, 5.75, 6.0}));
    ASSERT_TRUE(parse_period_range("7:7", r, why));
    ASSERT_TRUE(period_list(r, 100.0, periods, why));
    EXPECT_EQ(periods, std::vector<double>{7.0});
    ASSERT_TRUE(parse_period_range("1:100", r, why));
    EXPECT_FALSE(period_list(r, 3000.0, periods, why));
    EXPECT_NE(why.find("at most"), std::string::npos) << why;
}

TEST(SpinSearch, TheTruePoleFitsFarBetterThanAPoleAcrossTheSky)
{
    const auto ev = evaluator(2);
    const pole truth{truth_lambda, truth_beta, 1, 0};
    const pole away{truth_lambda + 90.0, -truth_beta, 1, 0};
    const spin_fit at_truth = fit_spin(ev, 0.0, truth, 0, truth_period, spin_fit_settings{});
    const spin_fit at_away = fit_spin(ev, 0.0, away, 0, truth_period, spin_fit_settings{});
    ASSERT_TRUE(std::isfinite(at_truth.chi2));
    EXPECT_LT(at_truth.chi2 * 3, at_away.chi2);
    EXPECT_EQ(at_truth.x[model_param::lambda_deg], truth_lambda);  // the spin is held
    EXPECT_EQ(at_truth.x[model_param::period_h], truth_period);
    EXPECT_NEAR(at_truth.reduced_chi2, at_truth.chi2 / (96 - 4), 1e-12);
}

TEST(SpinSearch, CoarseToFineFindsThePoleTheSameOnAnyThreadCount)
{
    const auto coarse = evaluator(1), fine = coarse;
    spin_search_request request = two_level_search();
    spin_search_result one, two;
    std::string why;
    request.threads = 1;
    ASSERT_TRUE(search_spins(coarse, 1, fine, 1, 0.0, request, one, why)) << why;
    request.threads = 2;
    ASSERT_TRUE(search_spins(coarse, 1, fine, 1, 0.0, request, two, why)) << why;
    ASSERT_EQ(one.levels.size(), 2u);
    ASSERT_EQ(two.levels.size(), 2u);
    for (std::size_t l = 0; l < 2; ++l) {
        ASSERT_EQ(one.levels[l].spins.size(), two.levels[l].spins.size());
        for (std::size_t i = 0; i < one.levels[l].spins.size(); ++i)
            EXPECT_TRUE(same_spin(one.levels[l].spins[i], two.levels[l].spins[i])) << l << " " << i;
    }
    EXPECT_EQ(one.levels[0].spins.size(), 12u);
    EXPECT_EQ(one.levels[0].nside, 1);
    EXPECT_EQ(one.levels[1].nside, 2);
    EXPECT_EQ(one.levels[1].subdivisions, 1);
    // Best first, and the finer level holds the children of the poles under
    // the first level's threshold and of its three best, and only those.
    for (const spin_level_result& level : one.levels)
        for (std::size_t i = 1; i < level.spins.size(); ++i)
            EXPECT_FALSE(spin_before(level.spins[i], level.spins[i - 1]));
    std::set<int64_t> parents;
    for (std::size_t i = 0; i < one.levels[0].spins.size(); ++i) {
        const spin_fit& s = one.levels[0].spins[i];
        if (s.chi2 <= one.levels[0].threshold.threshold || i < 3) parents.insert(s.at.pixel);
    }
    ASSERT_GE(parents.size(), 3u);
    EXPECT_EQ(one.levels[1].spins.size(), 4 * parents.size());
    for (const spin_fit& s : one.levels[1].spins) EXPECT_EQ(parents.count(s.at.pixel / 4), 1u) << s.at.pixel;
    // The best pole is the true one or its mirror, within a coarse pixel.
    const spin_fit& best = one.best();
    const double to_truth =
        std::min(pole_distance_deg(best.at.lambda_deg, best.at.beta_deg, truth_lambda, truth_beta),
                 pole_distance_deg(best.at.lambda_deg, best.at.beta_deg, truth_lambda + 180.0, truth_beta));
    EXPECT_LT(to_truth, pole_spacing_deg(1)) << best.at.lambda_deg << ", " << best.at.beta_deg;
}

TEST(SpinJournal, LinesComeBackExactlyAndATornTailIsLeftOut)
{
    spin_fit a;
    a.level = 1;
    a.at = {123.456789012345, -33.3333333333333, 4, 177};
    a.period_index = 3;
    a.evaluations = 264;
    for (int p = 0; p < model_param::count; ++p) a.x[p] = std::sqrt(2.0 + p) * (p % 2 ? -1 : 1);
    a.chi2 = 1.0 / 3.0;
    a.reduced_chi2 = std::nan("");
    spin_fit b = a;
    b.level = 0;
    b.at.pixel = 0;
    b.chi2 = -0.0;
    const uint64_t key = 0x0123456789abcdefull;
    const std::string text = spin_journal_header(key) + spin_journal_line(a) + spin_journal_line(b);
    EXPECT_EQ(text.substr(0, 23), "spins 0123456789abcdef\n");
    const std::vector<spin_fit> back = parse_spin_journal(text, key);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_TRUE(same_spin(back[0], a));
    EXPECT_EQ(std::memcmp(&back[0].at.lambda_deg, &a.at.lambda_deg, sizeof(double)), 0);
    EXPECT_TRUE(std::isnan(back[0].reduced_chi2));
    EXPECT_TRUE(same_spin(back[1], b));
    EXPECT_TRUE(std::signbit(back[1].chi2));
    // Another search's journal gives nothing; a torn or damaged line ends it.
    EXPECT_TRUE(parse_spin_journal(text, key + 1).empty());
    EXPECT_TRUE(parse_spin_journal("", key).empty());
    EXPECT_EQ(parse_spin_journal(text.substr(0, text.size() - 1), key).size(), 1u);
    std::string damaged = text;
    damaged[spin_journal_header(key).size() + 3] = 'x';
    EXPECT_TRUE(parse_spin_journal(damaged, key).empty());
    EXPECT_EQ(parse_spin_journal(text + "1 2 3\n" + spin_journal_line(a), key).size(), 2u);
}

TEST(SpinSearch, SpinsDoneBeforeAreTakenOverAndTheResultIsTheSame)
{
    const auto ev = evaluator(1);
    spin_search_request request = two_level_search();
    request.threads = 2;
    spin_search_result whole;
    std::vector<spin_fit> reported;
    request.fitted = [&](const spin_fit& s) { reported.push_back(s); };
    std::string why;
    ASSERT_TRUE(search_spins(ev, 1, ev, 1, 0.0, request, whole, why)) << why;
    std::size_t tried = 0;
    for (const spin_level_result& level : whole.levels) tried += level.spins.size();
    ASSERT_EQ(reported.size(), tried);  // every spin reported once
    // Half of them known from before: the others alone are fitted again.
    request.done.assign(reported.begin(), reported.begin() + static_cast<std::ptrdiff_t>(tried / 2));
    reported.clear();
    spin_search_result resumed;
    ASSERT_TRUE(search_spins(ev, 1, ev, 1, 0.0, request, resumed, why)) << why;
    EXPECT_EQ(reported.size(), tried - tried / 2);
    ASSERT_EQ(resumed.levels.size(), whole.levels.size());
    for (std::size_t l = 0; l < whole.levels.size(); ++l) {
        ASSERT_EQ(resumed.levels[l].spins.size(), whole.levels[l].spins.size());
        for (std::size_t i = 0; i < whole.levels[l].spins.size(); ++i)
            EXPECT_TRUE(same_spin(resumed.levels[l].spins[i], whole.levels[l].spins[i])) << l << " " << i;
    }
}

TEST(SpinSearch, ProcessesSharingEachLevelEndWithTheSameSpins)
{
    // Three processes (threads here), each fitting the spins i % 3 of every
    // level and exchanging them through a board at a barrier, as MPI ranks
    // do: each ends with the search of one process, bit for bit.
    const auto coarse = evaluator(1), fine = coarse;
    spin_search_request request = two_level_search();
    spin_search_result alone;
    std::string why;
    ASSERT_TRUE(search_spins(coarse, 1, fine, 1, 0.0, request, alone, why)) << why;

    constexpr int processes = 3;
    std::barrier meeting(processes);
    std::vector<spin_fit> board;
    std::mutex board_lock;
    std::vector<spin_search_result> results(processes);
    std::vector<std::thread> running;
    for (int rank = 0; rank < processes; ++rank)
        running.emplace_back([&, rank] {
            spin_search_request mine = request;
            mine.mine = [rank](std::size_t i) { return static_cast<int>(i % processes) == rank; };
            mine.exchange = [&](std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool, std::string&) {
                {
                    const std::lock_guard<std::mutex> hold(board_lock);
                    board.resize(level.size());
                    for (std::size_t i = 0; i < level.size(); ++i)
                        if (own[i]) board[i] = level[i];
                }
                meeting.arrive_and_wait();
                for (std::size_t i = 0; i < level.size(); ++i)
                    if (!own[i]) level[i] = board[i];
                meeting.arrive_and_wait();  // every process has read the board
                return true;
            };
            std::string failed;
            EXPECT_TRUE(search_spins(coarse, 1, fine, 1, 0.0, mine, results[static_cast<std::size_t>(rank)], failed))
                << failed;
        });
    for (std::thread& t : running) t.join();
    for (const spin_search_result& r : results) {
        ASSERT_EQ(r.levels.size(), alone.levels.size());
        for (std::size_t l = 0; l < alone.levels.size(); ++l) {
            ASSERT_EQ(r.levels[l].spins.size(), alone.levels[l].spins.size());
            for (std::size_t i = 0; i < alone.levels[l].spins.size(); ++i)
                EXPECT_TRUE(same_spin(r.levels[l].spins[i], alone.levels[l].spins[i])) << l << " " << i;
        }
    }
}
