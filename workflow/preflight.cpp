#include "workflow/preflight.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unistd.h>

#include "common/control_ids.hpp"
#include "common/input_file.hpp"
#include "common/sha256.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "mesh/base_shape.hpp"
#include "runs/run_checks.hpp"
#include "runs/run_folder.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/sweep_records.hpp"
#include "workflow/fields.hpp"

namespace {

// One spin-state field: its id, its name for refusals, where it goes.
struct spin_field {
    int id;
    const char* name;
    double spin_state::*typed;
};

// The fields in the order they are read.
constexpr spin_field spin_fields[] = {
    {ctl::lambda, "pole longitude", &spin_state::lambda_deg},
    {ctl::beta, "pole latitude", &spin_state::beta_deg},
    {ctl::phi0, "initial rotation phase", &spin_state::phi0_deg},
    {ctl::period, "sidereal period", &spin_state::period_hours},
    {ctl::epoch, "epoch", &spin_state::t0},
};

}  // namespace

command_outcome check_geosphere_fields(app_state& app, int& n)
{
    if (!app.target->read_item_int(ctl::subdivisions, n))
        return {false, "the subdivision count must be a whole number"};
    if (std::string refusal; !check_subdivisions(n, refusal)) return {false, refusal};
    return {true, ""};
}

command_outcome check_load_fields(app_state& app, std::string& path, spin_state& typed)
{
    status_ops& ui = *app.target;
    // The path is taken whole, whatever its length.
    path = ui.read_item_text(ctl::path, 1 << 16);
    typed = app.spin;
    for (const spin_field& field : spin_fields)
        if (!read_decimal_field(ui, field.id, typed.*field.typed))
            return {false, std::string("the ") + field.name + " field must hold a single number"};
    if (std::string refusal; !check_spin_ranges(typed, refusal)) return {false, refusal};
    // Opened as the reader opens it: a FIFO or a device is refused at once.
    std::string why;
    const int fd = open_regular_file(path, why);
    if (fd < 0) return {false, why};
    close(fd);
    return {true, ""};
}

command_outcome check_shapes_fields(app_state& app, sweep_plan& plan)
{
    status_ops& ui = *app.target;
    if (!read_decimal_field(ui, ctl::step_size, plan.step))
        return {false, "the step size field must hold a single number"};
    if (!ui.read_item_int(ctl::threads, plan.threads)) return {false, "the thread count must be a whole number"};
    if (std::string refusal; !check_thread_count(plan.threads, refusal)) return {false, refusal};
    const std::string fit = ui.read_item_text(ctl::fit, 64);
    if (!parse_fit_mode(fit, plan.fit)) return {false, "the fit must be range, offset or chi2, not \"" + fit + "\""};
    if (std::string refusal; !check_sweep_grid(plan.step, plan.count, refusal)) return refuse_visibly(app, refusal);
    return {true, ""};
}

run_inputs sweep_inputs(const app_state& app, const std::string& path, const std::string& sha256,
                        const spin_state& spin, const std::string& blocks, int32_t subdivisions, const sweep_plan& plan)
{
    run_inputs in;
    in.observation_file = path;
    in.observation_sha256 = sha256;
    in.block = app.only_block;
    in.lambda_deg = spin.lambda_deg;
    in.beta_deg = spin.beta_deg;
    in.phi0_deg = spin.phi0_deg;
    in.period_hours = spin.period_hours;
    in.t0 = spin.t0;
    in.step = plan.step;
    in.subdivisions = subdivisions;
    in.blocks = blocks;
    in.fit = fit_mode_name(plan.fit);
    in.sigma = plan.fit == fit_mode::chi2 ? app.sigma : 0.0;
    in.no_curves = app.share.no_curves;
    return in;
}

bool check_sweep_grid(double step, grid_count& count, std::string& why)
{
    if (!(step > 0.0) || std::isinf(step)) {
        why = "the step size must be a number greater than 0";
        return false;
    }
    count = count_grid(step, INT_MAX);
    if (!count.too_large) return true;
    char text[200];
    std::snprintf(text, sizeof text, "step size %g gives more than %i shapes: choose a larger step", step, INT_MAX);
    why = text;
    return false;
}

std::string sweep_size_refusal(const sweep_plan& plan, int subdivisions, std::shared_ptr<const mesh> base,
                               const std::shared_ptr<const ref_curve>& reference, const sweep_spin& spin,
                               int64_t new_files, double extra_memory)
{
    const int blocks = reference_blocks(*reference);
    const int64_t vertices = base ? base->vertex_count : base_vertex_count(subdivisions);
    sweep_needs needs = estimate_sweep_needs(plan.count.shapes, new_files, vertices, plan.threads, blocks,
                                             static_cast<int64_t>(reference->times.size()));
    needs.memory_bytes += extra_memory;
    std::string why;
    if (sweep_fits(needs, 0.0, plan.threads, why)) return "";
    // Refused: time a few shapes of the real inputs, in memory, for the estimate.
    double per_shape = 0.0;
    if (!base) base = build_base_mesh(subdivisions);
    if (base) per_shape = time_per_shape(make_sweep_args(base, reference, spin, plan.step, 1), 3);
    sweep_fits(needs, per_shape, plan.threads, why);
    return why;
}

command_outcome check_pipeline(app_state& app, pipeline_end last)
{
    int n = 0;
    command_outcome outcome = check_geosphere_fields(app, n);
    if (!outcome.done || last == pipeline_end::geosphere) return outcome;
    std::string path;
    spin_state spin;
    outcome = check_load_fields(app, path, spin);
    if (!outcome.done) return outcome;
    convert_spin(spin);
    obs_set observations;
    std::shared_ptr<ref_curve> reference;
    outcome = read_observations(app, path, spin, observations, reference);
    if (!outcome.done || last == pipeline_end::load) return outcome;
    sweep_plan plan;
    outcome = check_shapes_fields(app, plan);
    if (!outcome.done) return outcome;
    // The coordinator alone tries the folder: a probe of one rank must not
    // meet the folder another rank made and removed.
    std::string why;
    if (!app.share.follower) {
        const run_files files = files_of_shard(app.share.shard, app.share.shards);
        // A resume of another run is refused before the steps rewrite the
        // base shape and the reference files.
        if (app.resume) {
            const std::string digest = sha256_of_file(path, why);
            if (digest.empty()) return {false, why};
            const std::string blocks = app.target->read_item_text(ctl::blocks, 1 << 12);
            run_manifest recorded;
            if (!check_resumable(sweep_inputs(app, path, digest, spin, blocks, n, plan), recorded, why, files))
                return {false, why};
        }
        if (!check_journal_path(files, why) || !check_output_folder(false, why)) return {false, why};
    }
    // A resumed run keeps its files; a run without curves writes none.
    const int64_t new_files = app.resume || app.share.no_curves ? 0 : plan.count.shapes;
    why = sweep_size_refusal(plan, n, nullptr, reference, used_spin(spin), new_files);
    return {why.empty(), why};
}
