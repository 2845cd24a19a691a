#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "app/controller.hpp"
#include "app/preflight.hpp"
#include "common/control_ids.hpp"
#include "common/sha256.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "sweep/eval_shape.hpp"

namespace {

// Refuses a period that makes the rotation phases of the samples
// meaningless: not finite, no change over the whole span (less than one
// part in 1e12 of a turn), or rotation counts so large that a double no
// longer resolves a millionth of a turn.
std::string rotation_refusal(const ref_curve& ref, const spin_state& s)
{
    double lo = INFINITY, hi = -INFINITY, turns = 0.0;
    for (double t : ref.times) {
        const double phi = rotation_angle(t, s.t0, s.period, s.phi0);
        if (!std::isfinite(phi)) return "the sidereal period gives rotation phases that are not numbers";
        lo = std::min(lo, phi);
        hi = std::max(hi, phi);
        turns = std::max(turns, std::fabs((t - s.t0) / s.period));
    }
    constexpr double two_pi = 6.283185307179586;
    char text[300];
    if (std::nextafter(turns, INFINITY) - turns > 1e-6) {
        std::snprintf(text, sizeof text,
                      "the sidereal period %g h is too short: %.3g rotations between the epoch and the observations "
                      "leave the rotation phase unresolved",
                      s.period_hours, turns);
        return text;
    }
    if (!(hi - lo > two_pi * 1e-12)) {
        std::snprintf(text, sizeof text,
                      "the sidereal period %g h is too long: the rotation phase does not change over the observations",
                      s.period_hours);
        return text;
    }
    return "";
}

}  // namespace

command_outcome read_observations(app_state& app, const std::string& path, const spin_state& spin,
                                  obs_set& observations, std::shared_ptr<ref_curve>& reference)
{
    std::string reason;
    if (read_lc_file(path, observations, app.target, reason, app.only_block) == 0)
        return {false, reason.empty() ? "cannot read " + path : reason};
    try {
        reference = std::make_shared<ref_curve>();
        resample_reference(observations, *reference);
    } catch (const std::bad_alloc&) {
        return {false, "not enough memory for the resampled reference", true};
    }
    if (!check_reference(*reference, reason)) return {false, path + ": " + reason};
    reason = rotation_refusal(*reference, spin);
    if (!reason.empty()) return {false, reason};
    return {true, ""};
}

command_outcome load_lightcurve(app_state& app)
{
    status_ops& ui = *app.target;
    std::string path;
    spin_state typed;
    command_outcome outcome = check_load_fields(app, path, typed);
    app.text_buffer = path;
    if (!outcome.done) return outcome;
    convert_spin(typed);

    // Everything is read and checked into temporaries: a refusal leaves the
    // previous observations, reference and spin state in force.
    obs_set observations;
    std::shared_ptr<ref_curve> reference;
    outcome = read_observations(app, path, typed, observations, reference);
    if (!outcome.done) return outcome;
    std::string reason;
    const std::string digest = sha256_of_file(path, reason);
    if (digest.empty()) return {false, reason};

    const folder_hold hold(app);
    if (hold.refused()) {
        ui.set_item_text(ctl::status_line, hold.why);
        return {false, hold.why};
    }
    app.observations = std::move(observations);
    app.spin = typed;
    app.reference = reference;
    app.obs_path = path;
    app.obs_sha256 = digest;
    if (!write_reference_files(*app.reference, app.observations, &reason)) return {false, reason, true};

    ui.enable_item(ctl::generate_shapes);
    ui.enable_item(ctl::step_size);
    return {true, ""};
}
