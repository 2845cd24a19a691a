#include "app/cli/spin_command.hpp"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "inversion/pole_grid.hpp"
#include "runs/run_folder.hpp"
#include "runs/spin_results.hpp"
#include "sweep/run_sweep.hpp"
#include "workflow/fields.hpp"
#include "workflow/spin_step.hpp"

namespace {

// The settings of the search the options ask for.
spin_search_settings settings_of(const spin_search_options& o)
{
    spin_search_settings s;
    s.nside = o.nside;
    s.levels = o.levels;
    s.carry = o.carry;
    s.scan_subdivisions = o.scan_subdivisions;
    std::string ignored;
    s.periods_given = !o.periods.empty() && parse_period_range(o.periods, s.periods, ignored);
    return s;
}

// Prints each level, the best spin and where it was written (by merge
// for a shard).
void print_search(const spin_search_result& r, const std::vector<double>& periods, bool shard)
{
    for (std::size_t l = 0; l < r.levels.size(); ++l) {
        const spin_level_result& level = r.levels[l];
        const spin_fit& best = level.spins.front();
        int under = 0;
        for (const spin_fit& s : level.spins) under += s.chi2 <= level.threshold.threshold;
        std::printf("spin search level %zu: %zu spins (nside %d, n = %d), %d under the threshold %.6g; best lambda "
                    "%.2f beta %.2f period %.9f h, reduced chi2 %.6g (%.1f s)\n",
                    l + 1, level.spins.size(), level.nside, level.subdivisions, under, level.threshold.threshold,
                    best.at.lambda_deg, best.at.beta_deg, best.x[model_param::period_h], best.reduced_chi2,
                    level.seconds);
    }
    const spin_fit& best = r.best();
    std::printf("best spin: lambda %.4f beta %.4f period %.9f h phi0 %.4f, reduced chi2 %.6g over %zu period%s; "
                "%s\n",
                best.at.lambda_deg, best.at.beta_deg, best.x[model_param::period_h], best.x[model_param::phi0_deg],
                best.reduced_chi2, periods.size(), periods.size() == 1 ? "" : "s",
                shard ? "merge writes output/spin.txt and output/spins.txt"
                      : "written to output/spin.txt and output/spins.txt");
}

}  // namespace

void add_spin_search_options(CLI::App& cli, spin_search_options& o)
{
    cli.add_option("--pole-nside", o.nside,
                   "chi2 fit: search the spin first: poles at the centres of the HEALPix pixels of resolution K "
                   "(a power of two: 12 K^2 poles about 58.6/K degrees apart; 2 gives 48, 4 gives 192), phi0 and "
                   "the shape fitted at each; then the sweep and the refinement (--refine, 10 starts by default, "
                   "with the spin free) at the best spin. Writes output/spins.txt and output/spin.txt")
        ->type_name("K");
    cli.add_option("--periods", o.periods,
                   "with --pole-nside: the periods tried, P0 to P1 hours by STEP; without STEP, the step that "
                   "moves the rotation count over the data's time span by a tenth of a turn (0.1 P0^2 / (24 "
                   "span_days)). Default: the spin's period alone")
        ->type_name("P0:P1[:STEP]");
    cli.add_option("--pole-levels", o.levels,
                   "with --pole-nside: levels of the search, 1 to 4 (default 2): the first over the whole sky at "
                   "--scan-subdivisions, each next one over the four sub-pixels of every pole the level before left "
                   "under its chi2 threshold (and of its --pole-carry best), at the run's subdivisions")
        ->type_name("L");
    cli.add_option("--pole-carry", o.carry,
                   "with --pole-nside: the best spins of a level whose sub-pixels the next level tries even when "
                   "they lie above the threshold (default 8): the first level's coarse model can rank the true pole "
                   "a few places down")
        ->type_name("C");
    cli.add_option("--scan-subdivisions", o.scan_subdivisions,
                   "with --pole-nside: subdivision passes of the first level's model (default 2, at most the run's)")
        ->type_name("N");
}

bool check_spin_search(const CLI::App& cli, const spin_search_options& o, field_options& f, std::string& why)
{
    const bool asked = cli.count("--pole-nside") > 0;
    if (!asked) {
        if (cli.count("--periods") + cli.count("--pole-levels") + cli.count("--scan-subdivisions") +
                cli.count("--pole-carry") >
            0) {
            why = "--periods, --pole-levels, --pole-carry and --scan-subdivisions go with --pole-nside K";
            return false;
        }
        return true;
    }
    if (f.fit != "chi2") {
        why = "--pole-nside is for --fit chi2 only";
        return false;
    }
    if (f.until != "sweep") {
        why = "--pole-nside searches before a whole sweep: leave out --until";
        return false;
    }
    if (!check_pole_nside(o.nside, why)) return false;
    if (int threads = 0; !parse_whole_number(f.threads, threads) || !check_thread_count(threads, why)) {
        if (why.empty()) why = "--threads takes a whole number from 1 to 50";
        return false;
    }
    if (o.levels < 1 || o.levels > 4 || (int64_t{o.nside} << (o.levels - 1)) > max_pole_nside) {
        why = "--pole-levels takes 1 to 4 levels, the last one's resolution K 2^(L-1) at most " +
              std::to_string(max_pole_nside);
        return false;
    }
    if (o.carry < 0 || o.carry > 1000000) {
        why = "--pole-carry takes a count from 0 to 1000000";
        return false;
    }
    int n = 0;
    if (!parse_whole_number(f.subdivisions, n)) n = 10;
    if (o.scan_subdivisions < 1 || o.scan_subdivisions > n) {
        why = "--scan-subdivisions takes 1 to the run's subdivisions (" + f.subdivisions + ")";
        return false;
    }
    if (!o.periods.empty()) {
        period_range r;
        if (!parse_period_range(o.periods, r, why)) return false;
        if (cli.count("--period") == 0) {
            char middle[64];
            std::snprintf(middle, sizeof middle, "%.9f", 0.5 * (r.first_h + r.last_h));
            f.period = middle;
        }
    }
    return true;
}

int run_spin_search(const spin_search_options& o, field_options f, bool block_given, refine_request refine,
                    int refine_subdivisions, const spin_role& role)
{
    const bool coordinator = role.pipeline.coordinator;
    const char* program = role.pipeline.program;
    field_options load = f;
    load.until = "load";
    load.resume = false;
    if (const int code = run_pipeline(load, block_given, role.pipeline); code != exit_complete) return code;
    app_state& app = the_app();
    parse_whole_number(f.threads, app.thread_count);  // checked by check_spin_search
    spin_search_settings settings = settings_of(o);
    settings.mine = role.mine;
    settings.exchange = role.exchange;
    settings.writes = coordinator;
    settings.share_journal = role.share_text;
    if (!f.shard.empty()) {
        parse_shard(f.shard, settings.shard, settings.shards);  // checked by the pipeline's load
        settings.waiting = [&settings](const std::string& what) {
            std::printf("shard %d of %d: %s\n", settings.shard, settings.shards, what.c_str());
            std::fflush(stdout);
        };
    }
    const run_files files = files_of_shard(settings.shard, settings.shards);
    std::vector<double> periods;
    spin_search_result result;
    std::string why;
    if (!search_periods(app, settings, periods, why) ||
        !search_and_write_spins(app, settings, periods, f.resume, result, why)) {
        if (app.cancel.load() != 0) {
            std::fprintf(stderr, "%s: spin search cancelled\n", program);
            return stop_exit_code();
        }
        std::fprintf(stderr, "%s: spin search failed: %s\n", program, why.c_str());
        return exit_failed;
    }
    if (coordinator) print_search(result, periods, settings.shards > 0);
    std::string words[5];
    best_spin_words(result, app.spin.t0, words);
    f.lambda = words[0];
    f.beta = words[1];
    f.period = words[2];
    f.phi0 = words[4];
    // A resumed search resumes the sweep only where one had begun (as the
    // coordinator sees its folder).
    std::string begun = f.resume && std::filesystem::exists(files.manifest) ? "1" : "0";
    if (role.share_text) role.share_text(begun);
    f.resume = begun == "1";
    if (const int code = run_pipeline(f, block_given, role.pipeline); code != exit_complete || !coordinator)
        return code;
    if (!record_spin_search(settings, periods, result, why)) {
        std::fprintf(stderr, "%s: %s\n", program, why.c_str());
        return exit_failed;
    }
    if (settings.shards > 0) {
        std::printf("shard %d of %d done: once every shard is, morvane-cli merge writes output/spins.txt, "
                    "output/spin.txt and output/main.txt (a run with --spin and --refine K --refine-spin "
                    "refines at that spin)\n",
                    settings.shard, settings.shards);
        return exit_complete;
    }
    if (refine.starts == 0) refine.starts = 10;
    refine.spin = true;
    // The last level's spins are models of known chi2, at the run's model
    // when that level was fitted at the run's subdivisions.
    if (result.levels.back().subdivisions == app.subdivisions)
        for (const spin_fit& s : result.levels.back().spins)
            if (std::isfinite(s.chi2)) refine.known.push_back({0, s.x, s.chi2});
    return run_refinement(refine, refine_subdivisions, app);
}
