#include "app/cli/refine_command.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "mesh/base_shape.hpp"
#include "workflow/fields.hpp"
#include "workflow/refine_step.hpp"

namespace {

// Prints a failure of the refinement; the exit code.
int failed(const char* program, const std::string& why)
{
    std::fprintf(stderr, "%s: refinement failed: %s\n", program, why.c_str());
    return exit_failed;
}

// Prints the refined best model, the bounds its ranges touch and the time
// each stage took.
void print_refinement(const refine_request& r, const refinement_result& result)
{
    const refined& best = result.solutions.front();
    if (!result.has_jackknife) std::printf("jackknife skipped: the fit has only one block\n");
    for (int p : result.set.at_bound)
        std::printf("warning: %s is at the bound of the model space (%g to %g): its acceptable range may reach "
                    "beyond it\n",
                    model_param_name(p), result.space.lower[p], result.space.upper[p]);
    std::printf("\nrefined best (from shape %d): y_scale_1 %.6f z_scale_1 %.6f x_scale_2 %.6f y_scale_2 %.6f "
                "z_scale_2 %.6f x_shift %.6f phi0 %.4f",
                best.start_shape, best.x[0], best.x[1], best.x[2], best.x[3], best.x[4], best.x[5],
                best.x[model_param::phi0_deg]);
    if (r.spin)
        std::printf(" lambda %.4f beta %.4f period %.9f h", best.x[model_param::lambda_deg],
                    best.x[model_param::beta_deg], best.x[model_param::period_h]);
    std::printf("\nreduced chi2 %.6g, rms %.6g mag; written to output/best.obj, output/refined.txt and "
                "output/uncertainty.json\n",
                best.f.chi2 / result.nu, best.f.rms_mag);
    std::printf("refinement %.1f s (%lld evaluations), ranges %.1f s (%d), jackknife %.1f s\n", result.times.refine_s,
                static_cast<long long>(result.evaluations), result.times.ranges_s, result.set.evaluations,
                result.times.jackknife_s);
}

}  // namespace

void add_refine_options(CLI::App& cli, refine_request& r)
{
    cli.add_option(
           "--refine", r.starts,
           "chi2 fit: after the sweep, refine the best K grid rows of distinct regions, then hop on "
           "from the best (random kicks, each refined), in the continuous parameters; writes output/refined.txt, "
           "the refined best as output/best.obj, the acceptable ranges and the jackknife over the blocks "
           "in output/uncertainty.json")
        ->type_name("K");
    cli.add_flag("--refine-spin", r.spin, "refine the pole (lambda, beta) and the period too");
    cli.add_option("--refine-effort", r.effort,
                   "scale every evaluation budget of the refinement by F (default 1: 150 chi2 evaluations a start, "
                   "2400 for the hops, 120 a range search, 150 a jackknife block): 0.25 for a first look, 4 for a "
                   "careful result")
        ->type_name("F");
    cli.add_option("--refine-subdivisions", r.subdivisions,
                   "subdivision passes of the refinement's model, 1 to 10 (default: the sweep's)")
        ->type_name("N");
}

bool check_refine_request(const CLI::App& cli, const refine_request& r, const field_options& f, int& subdivisions,
                          std::string& why)
{
    // A spin search in one process refines after its sweep, asked or not.
    const bool implied = cli.count("--pole-nside") > 0 && f.shard.empty();
    const bool asked = cli.count("--refine") > 0;
    if (!asked && !implied && (r.spin || !r.subdivisions.empty() || cli.count("--refine-effort") > 0)) {
        why = "--refine-spin, --refine-subdivisions and --refine-effort go with --refine K (or --pole-nside K "
              "without --shard)";
        return false;
    }
    if (!asked && !implied) return true;
    if (f.fit != "chi2") {
        why = asked ? "--refine is for --fit chi2 only" : "--pole-nside is for --fit chi2 only";
        return false;
    }
    if (asked && r.starts < 1) {
        why = "--refine takes the number of starts, 1 or more";
        return false;
    }
    if (!(r.effort > 0.0 && r.effort <= 100.0)) {
        why = "--refine-effort takes a factor above 0, at most 100";
        return false;
    }
    if (!f.shard.empty() || f.until != "sweep") {
        why = "--refine follows a whole sweep: leave out --shard and --until";
        return false;
    }
    const std::string& text = r.subdivisions.empty() ? f.subdivisions : r.subdivisions;
    if (!parse_whole_number(text, subdivisions) || !check_subdivisions(subdivisions, why)) {
        if (why.empty()) why = "the subdivisions must be a whole number from 1 to 10";
        why = "--refine-subdivisions: " + why;
        return false;
    }
    return true;
}

int run_refinement(const refine_request& r, int subdivisions, app_state& app)
{
    refine_settings settings;
    settings.starts = r.starts;
    settings.subdivisions = subdivisions;
    settings.spin = r.spin;
    settings.budget = scaled_budget(r.effort);
    settings.known = r.known;
    refinement_result result;
    std::string why;
    if (!refine_and_write(app, settings, result, why)) {
        if (app.cancel.load() != 0) {
            std::fprintf(stderr, "%s: refinement cancelled; the sweep's files are complete\n", r.program);
            return stop_exit_code();
        }
        return failed(r.program, why);
    }
    print_refinement(r, result);
    return exit_complete;
}
