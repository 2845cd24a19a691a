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
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "mesh/base_shape.hpp"
#include "runs/run_checks.hpp"
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
    if (!parse_fit_mode(fit, plan.fit)) return {false, "the fit must be range or offset, not \"" + fit + "\""};
    if (!(plan.step > 0.0) || std::isinf(plan.step))
        return refuse_visibly(app, "the step size must be a number greater than 0");
    plan.count = count_grid(plan.step, INT_MAX);
    if (plan.count.too_large) {
        char text[200];
        std::snprintf(text, sizeof text, "step size %g gives more than %i shapes: choose a larger step", plan.step,
                      INT_MAX);
        return refuse_visibly(app, text);
    }
    return {true, ""};
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
    if (!app.share.follower && !check_output_folder(false, why)) return {false, why};
    const int64_t files = app.resume ? 0 : plan.count.shapes;
    const int blocks = std::max<int>(1, static_cast<int>(reference->times.size() / reference_samples));
    const sweep_needs needs =
        estimate_sweep_needs(plan.count.shapes, files, base_vertex_count(n), plan.threads, blocks);
    if (sweep_fits(needs, 0.0, plan.threads, why)) return {true, ""};
    // Refused: time a few shapes of the real inputs, in memory, for the estimate.
    double per_shape = 0.0;
    if (const std::shared_ptr<const mesh> base = build_base_mesh(n))
        per_shape = time_per_shape(make_sweep_args(base, reference, used_spin(spin), plan.step, 1), 3);
    sweep_fits(needs, per_shape, plan.threads, why);
    return {false, why};
}
