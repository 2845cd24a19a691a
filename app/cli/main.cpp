// morvane-cli: the three steps of the dialog from the command line.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/pipeline.hpp"
#include "app/cli/refine_command.hpp"
#include "app/cli/spin_command.hpp"
#include "app/cli/synth_command.hpp"
#include "common/checked_file.hpp"
#include "common/program_entry.hpp"
#include "mesh/base_shape.hpp"
#include "mesh/lobe_union.hpp"
#include "runs/run_manifest.hpp"
#include "runs/shard_merge.hpp"
#include "sweep/shape_export.hpp"

namespace {

// What `morvane-cli export` takes.
struct export_options {
    int shape = 0;
    int subdivisions = 0;  // 0: from the finished run's manifest
    double step = 0.0;     // 0: from the finished run's manifest
    std::string output;    // "": shape_NNNNN.obj (.txt for DAMIT)
    std::string format = "obj";
    bool lobe_union = false;
    double diameter_km = 0.0;  // 0: not asked
    bool diameter_given = false;
};

// The export's format, union and diameter as asked, or the refusal.
bool check_export_options(const export_options& o, shape_export_options& how, std::string& why)
{
    if (!parse_shape_format(o.format, how.format)) {
        why = "--format must be obj or damit, not '" + o.format + "'";
        return false;
    }
    if (o.diameter_given && !(o.diameter_km > 0.0 && std::isfinite(o.diameter_km))) {
        why = "--diameter-km must be a positive number of km";
        return false;
    }
    how.lobe_union = o.lobe_union;
    how.diameter_km = o.diameter_given ? o.diameter_km : 0.0;
    if ((how.lobe_union || o.diameter_given) && !lobe_union_built()) {
        why = std::string(how.lobe_union ? "--union" : "--diameter-km") +
              " needs the union of the lobes, which this build lacks (built with MORVANE_UNION=OFF)";
        return false;
    }
    return true;
}

// Writes one shape of the grid as a welded OBJ or DAMIT file, the two
// lobes or their union; returns the exit code.
int run_export(export_options o)
{
    shape_export_options how;
    if (std::string refusal; !check_export_options(o, how, refusal)) {
        std::fprintf(stderr, "morvane-cli export: %s\n", refusal.c_str());
        return exit_refused;
    }
    if (o.output.empty()) {
        char name[64];
        std::snprintf(name, sizeof name, how.format == shape_format::damit ? "shape_%05d.txt" : "shape_%05d.obj",
                      o.shape);
        o.output = name;
    }
    // A FIFO or a device at the output's name is refused before any work.
    if (std::string refusal; !check_destination(o.output, refusal)) {
        std::fprintf(stderr, "morvane-cli export: %s\n", refusal.c_str());
        return exit_refused;
    }
    if (o.subdivisions == 0 || o.step == 0.0) {
        run_manifest run;
        std::string why;
        if (!read_manifest(manifest_file, run, why)) {
            std::fprintf(stderr,
                         "morvane-cli export: give --subdivisions and --step, or run it where a sweep ran (%s)\n",
                         why.c_str());
            return exit_refused;
        }
        if (o.subdivisions == 0) o.subdivisions = run.inputs.subdivisions;
        if (o.step == 0.0) o.step = run.inputs.step;
    }
    if (std::string refusal; !check_subdivisions(o.subdivisions, refusal)) {
        std::fprintf(stderr, "morvane-cli export: %s\n", refusal.c_str());
        return exit_refused;
    }
    double params[param::count];
    if (!(o.step > 0.0) || !shape_parameters(o.step, o.shape, params)) {
        std::fprintf(stderr, "morvane-cli export: the grid of step %g has no shape %d\n", o.step, o.shape);
        return exit_refused;
    }
    const std::shared_ptr<const mesh> base = build_base_mesh(o.subdivisions);
    if (!base) {
        std::fprintf(stderr, "morvane-cli export: not enough memory for the base shape\n");
        return exit_failed;
    }
    export_mesh shape;
    std::string why;
    // A union that fails its checks is refused: nothing is written.
    if (!build_export_mesh(*base, params, how, shape, why)) {
        std::fprintf(stderr, "morvane-cli export: shape %d: %s\n", o.shape, why.c_str());
        return exit_refused;
    }
    if (!write_export_mesh(shape, params, how, o.output, why)) {
        std::fprintf(stderr, "morvane-cli export: %s\n", why.c_str());
        return exit_failed;
    }
    std::printf("wrote %s: shape %d (%g %g | %g %g %g | %g)\n", o.output.c_str(), o.shape, params[1], params[2],
                params[3], params[4], params[5], params[6]);
    if (how.lobe_union || how.diameter_km > 0.0)
        std::printf("the union of the lobes: volume %.9g in the model's units%s\n", shape.union_volume,
                    how.lobe_union ? ", one closed surface of Euler characteristic 2" : "");
    if (how.diameter_km > 0.0)
        std::printf("scaled by %.9g to a volume-equivalent diameter of %g km\n", shape.scale, how.diameter_km);
    return exit_complete;
}

// Joins the shards of this folder's run; the exit code.
int run_merge(std::size_t best)
{
    std::string why;
    folder_lock lock;
    if (!lock.acquire(why)) {
        std::fprintf(stderr, "morvane-cli merge: %s\n", why.c_str());
        return lock.busy() ? exit_locked : exit_refused;
    }
    const merge_outcome merged = merge_shards();
    if (!merged.done) {
        std::fprintf(stderr, "morvane-cli merge: %s\n", merged.reason.c_str());
        return merged.failed ? exit_failed : exit_refused;
    }
    std::printf("merged %d shards: %lld shapes in output/main.txt\n", merged.shards,
                static_cast<long long>(merged.shapes));
    if (merged.spins > 0)
        std::printf("and their spin search: %lld spins of its last level in output/spins.txt, the best in "
                    "output/spin.txt\n",
                    static_cast<long long>(merged.spins));
    run_manifest run;
    if (!read_manifest(manifest_file, run, why)) {
        std::fprintf(stderr, "morvane-cli merge: %s\n", why.c_str());
        return exit_failed;
    }
    const std::shared_ptr<const mesh> base = build_base_mesh(run.inputs.subdivisions);
    if (!base) {
        std::fprintf(stderr, "morvane-cli merge: not enough memory for the base shape\n");
        return exit_failed;
    }
    return report_best("morvane-cli merge", "output/main.txt", best, *base, run.inputs.step);
}

// The command line's run: parses the options and runs the subcommand or
// the pipeline; the exit code.
int run(int argc, char** argv)
{
    CLI::App cli{"Morvane: fit two-lobed asteroid shapes to a lightcurve.\n"
                 "Runs Generate Geosphere, GO! and Generate Shapes in order, with the dialog's fields as options."};
    cli.footer("Files, in the working folder: basic_shape_N.obj (the base shape); ref_lc.txt and\n"
               "ref_lc_interpolated.txt (the observations and their 150 samples per block, time magnitude);\n"
               "output/NNNNN.lc.txt (each shape's lightcurve, time brightness); output/main.txt (one row per shape:\n"
               "shape x_scale_1 y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift best_shift misfit);\n"
               "output/fits.csv (each block's fit); output/best.obj (the best shape); output/run.json (the run's\n"
               "record); output/samples.txt (the samples fitted, with their geometry, for morvane-report).\n"
               "The misfit compares the synthetic magnitudes with the reference at the best cyclic shift:\n"
               "see --fit. Lower is better. Figures of a finished run: morvane-report FOLDER.\n"
               "With --fit chi2 the model is computed at the observed points themselves: misfit is the reduced\n"
               "chi2 and best_shift 0; output/NNNNN.lc.txt holds time and model magnitude plus its block's zero\n"
               "point (on the observations); output/fits.csv each block's points, chi2 and zero point;\n"
               "output/samples.txt the observed points with their sigma.\n\n"
               "Exit codes: 0 complete; 1 failed (a file could not be written, memory ran out, no finite misfit,\n"
               "an unexpected error); 2 an option, the input or a file of the run folder was refused before any\n"
               "work; 3 another run holds this folder; 130 / 143 cancelled by Ctrl-C / SIGTERM (continue with\n"
               "--resume).");
    synth_command synth;
    add_synth_command(cli, synth);

    export_options e;
    CLI::App* exporter = cli.add_subcommand(
        "export", "write one shape of the grid, as the sweep evaluated it, as a welded OBJ or DAMIT file "
                  "(the two lobes, or with --union their union)");
    exporter->add_option("--shape", e.shape, "shape number N (1-based, as in output/main.txt)")
        ->required()
        ->type_name("N");
    exporter->add_option("--subdivisions", e.subdivisions, "subdivision passes (default: the finished run's)")
        ->type_name("N");
    exporter->add_option("--step", e.step, "step of the grid (default: the finished run's)")->type_name("STEP");
    exporter->add_option("--output", e.output, "file to write (default: shape_NNNNN.obj, or .txt for damit)")
        ->type_name("FILE");
    exporter->add_option("--format", e.format, "obj (Wavefront OBJ) or damit (DAMIT's shape file)")
        ->capture_default_str()
        ->type_name("FORMAT");
    exporter->add_flag("--union", e.lobe_union,
                       "write the union of the lobes as one closed surface (refused when the lobes do not meet)");
    exporter
        ->add_option("--diameter-km", e.diameter_km,
                     "scale the shape to this volume-equivalent diameter (of the union's volume), in km")
        ->type_name("D");

    cli.set_version_flag("--version", std::string("morvane-cli ") + program_version());
    field_options f;
    std::string spin_file, folder;
    add_pipeline_options(cli, f, spin_file, folder);
    refine_request refine;
    add_refine_options(cli, refine);
    spin_search_options spin_search;
    add_spin_search_options(cli, spin_search);

    CLI::App* merger = cli.add_subcommand(
        "merge", "join the shards of the run in this folder (output/main.shard-K-of-S.txt) into output/main.txt, "
                 "after checking that every shard is there, complete and from the same inputs");
    std::size_t merge_best = 10;
    merger->add_option("--best", merge_best, "rows of the best-fits table")->capture_default_str()->type_name("N");

    CLI11_PARSE(cli, argc, argv);
    if (const std::optional<int> refused = apply_folder_and_spin("morvane-cli", cli, f, spin_file, folder))
        return *refused;
    if (exporter->parsed()) {
        e.diameter_given = exporter->count("--diameter-km") > 0;
        return run_export(e);
    }
    if (merger->parsed()) return run_merge(merge_best);
    if (synth.app->parsed()) return run_synth_command(synth);
    int refine_subdivisions = 0;
    if (std::string why; !check_refine_request(cli, refine, f, refine_subdivisions, why)) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return exit_refused;
    }
    if (std::string why; !check_spin_search(cli, spin_search, f, why)) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return exit_refused;
    }
    if (spin_search.nside > 0)
        return run_spin_search(spin_search, f, cli.count("--block") > 0, refine, refine_subdivisions, {});
    const int code = run_pipeline(f, cli.count("--block") > 0);
    if (code != exit_complete || refine.starts == 0) return code;
    return run_refinement(refine, refine_subdivisions, the_app());
}

}  // namespace

int main(int argc, char** argv)
{
    // The entry of the program's own thread: out of memory, or any other
    // exception, anywhere below ends the run here with exit code 1 and its
    // text, the files written so far left whole.
    return guarded_entry("morvane-cli", [&] { return run(argc, argv); });
}
