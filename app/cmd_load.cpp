#include <cmath>
#include <new>

#include "app/controller.hpp"
#include "app/fields.hpp"
#include "common/control_ids.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"

namespace {

constexpr double degree = 0.017453292519943295;

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

// Range checks in the order longitude, latitude, phase, period, epoch.
// Every comparison is written so that NaN fails it.
std::string range_refusal(const spin_state& s)
{
    if (!(s.lambda_deg >= 0.0 && s.lambda_deg <= 360.0)) return "the pole longitude must lie between 0 and 360 degrees";
    if (!(s.beta_deg >= -90.0 && s.beta_deg <= 90.0)) return "the pole latitude must lie between -90 and 90 degrees";
    if (!(s.phi0_deg >= 0.0 && s.phi0_deg <= 360.0)) return "the initial rotation phase must lie between 0 and 360 degrees";
    if (!(s.period_hours >= 0.0)) return "the sidereal period must not be negative";
    // Every phase computation divides by the period: refuse 0 (and infinity).
    if (!(s.period_hours > 0.0) || std::isinf(s.period_hours)) return "the sidereal period must be greater than 0 hours";
    if (!(s.t0 == 0.0 || (s.t0 >= 2433283.0 && s.t0 <= 2524961.0)))
        return "the epoch must be 0 or a Julian date from 2433283 to 2524961";
    return "";
}

}  // namespace

command_outcome load_lightcurve(app_state& app)
{
    status_ops& ui = *app.target;
    // The path is taken whole, whatever its length.
    std::string path = ui.read_item_text(ctl::path, 1 << 16);
    app.text_buffer = path;

    spin_state typed = app.spin;
    for (const spin_field& field : spin_fields)
        if (!read_decimal_field(ui, field.id, typed.*field.typed))
            return {false, std::string("the ") + field.name + " field must hold a single number"};
    std::string refusal = range_refusal(typed);
    if (!refusal.empty()) return {false, refusal};

    std::string reason;
    if (read_lc_file(path, app.observations, &ui, reason, app.only_block) == 0)
        return {false, reason.empty() ? "cannot read " + path : reason};

    typed.lambda = typed.lambda_deg * degree;
    typed.beta = typed.beta_deg * degree;
    typed.phi0 = typed.phi0_deg * degree;
    typed.period = typed.period_hours / 24;
    app.spin = typed;

    try {
        auto reference = std::make_shared<ref_curve>();
        resample_reference(app.observations, *reference);
        app.reference = reference;
    } catch (const std::bad_alloc&) {
        return {false, "not enough memory for the resampled reference"};
    }
    if (!write_reference_files(*app.reference, app.observations))
        return {false, "cannot create ref_lc_interpolated.txt or ref_lc.txt in the working directory"};

    ui.enable_item(ctl::generate_shapes);
    ui.enable_item(ctl::step_size);
    return {true, ""};
}
