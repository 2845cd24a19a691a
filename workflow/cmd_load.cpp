#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "common/control_ids.hpp"
#include "common/sha256.hpp"
#include "inversion/noise_estimate.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/observed_points.hpp"
#include "lightcurve/resample.hpp"
#include "photometry/view_geometry.hpp"
#include "sweep/eval_shape.hpp"
#include "workflow/controller.hpp"
#include "workflow/preflight.hpp"

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

// The series a load made: each chosen block, or the whole file as one
// (block -1).
std::vector<block_run> series_of(const obs_set& set, bool whole)
{
    if (whole) return {{0, set.times.size(), -1}};
    return block_runs(set, set.times.size());
}

// Says what was loaded, per series: points, time span, span over the
// period and the phase angle range; and warns, without stopping anything,
// of a series the cyclic fit cannot serve well (each warning also kept in
// `warned`, for the run's record).
void describe_load(status_ops& ui, const obs_set& set, bool whole, bool blocks_chosen, double period_days,
                   std::vector<std::string>& warned)
{
    char text[300];
    const auto warn = [&](const char* what) {
        ui.show_warning(what);
        warned.emplace_back(what);
    };
    for (const block_run& s : series_of(set, whole)) {
        const std::size_t points = s.end - s.first;
        const double span = set.times[s.end - 1] - set.times[s.first];
        const double turns = span / period_days;
        double lo = 180.0, hi = 0.0;
        for (std::size_t i = s.first; i < s.end; ++i) {
            const double a = phase_angle_deg(set.sun[i], set.earth[i]);
            lo = std::min(lo, a);
            hi = std::max(hi, a);
        }
        const std::string name = s.block < 0 ? std::string("the whole file") : "lightcurve " + std::to_string(s.block);
        std::snprintf(text, sizeof text,
                      "%s: %zu points over %.3f h (%.3f rotation periods), phase angle %.1f to %.1f degrees",
                      name.c_str(), points, span * 24.0, turns, lo, hi);
        ui.show_note(text);
        if (points < 10) {
            std::snprintf(text, sizeof text, "%s holds only %zu points", name.c_str(), points);
            warn(text);
        }
        if (s.block < 0 && !blocks_chosen && turns > 10.0) {
            std::snprintf(text, sizeof text,
                          "%s spans %.1f rotation periods as one lightcurve: choose its lightcurves with --blocks "
                          "(the Blocks field)",
                          name.c_str(), turns);
            warn(text);
        } else if (turns > 1.1) {
            std::snprintf(text, sizeof text, "%s spans %.2f rotation periods: the cyclic fit assumes about one",
                          name.c_str(), turns);
            warn(text);
        } else if (turns < 1.0 / 3.0) {
            std::snprintf(text, sizeof text, "%s spans only %.2f of a rotation period: the fit has little to go on",
                          name.c_str(), turns);
            warn(text);
        }
    }
}

// How a block's sigma was obtained, as the load reports it.
std::string sigma_origin(const block_sigma& s)
{
    std::string text;
    switch (s.source) {
    case sigma_source::given: return "given";
    case sigma_source::estimated:
        text = "estimated: the scatter about a Fourier series of order " + std::to_string(s.order);
        break;
    case sigma_source::median_of_others: text = "too few points to estimate: the median of the estimated blocks"; break;
    case sigma_source::fallback: text = "too few points to estimate and no block estimated: the default"; break;
    }
    char floor[64];
    std::snprintf(floor, sizeof floor, ", raised to the floor of %g mag", sigma_floor);
    return s.floored ? text + floor : text;
}

// Says what the chi2 fit loaded, one line per block: its number, its
// points, its sigma and how that was obtained. Blocks of any length and
// sampling suit this fit: nothing is warned of.
void describe_points(status_ops& ui, const ref_curve& points, const std::vector<block_sigma>& sigmas)
{
    char text[300];
    for (std::size_t b = 0; b < points.blocks.size(); ++b) {
        const int32_t count = points.block_starts[b + 1] - points.block_starts[b];
        std::snprintf(text, sizeof text, "lightcurve %d: %d point%s, sigma %.4g mag (%s)", points.blocks[b], count,
                      count == 1 ? "" : "s", sigmas[b].sigma, sigma_origin(sigmas[b]).c_str());
        ui.show_note(text);
    }
}

// Whether the fit field asks for the chi2 fit.
bool chi2_fit_chosen(app_state& app)
{
    fit_mode mode = fit_mode::range;
    return parse_fit_mode(app.target->read_item_text(ctl::fit, 64), mode) && mode == fit_mode::chi2;
}

// The chi2 fit's load: the observed points of the chosen blocks (all when
// none is chosen), each block on its own, with their sigmas.
command_outcome read_observed_points(app_state& app, const std::string& path, const spin_state& spin,
                                     obs_set& observations, std::shared_ptr<ref_curve>& reference,
                                     std::vector<block_sigma>* sigmas)
{
    std::string reason;
    const std::string list = app.target->read_item_text(ctl::blocks, 1 << 12);
    block_selection selection;
    selection.whole = false;
    if (!list.empty() && !parse_block_list(list, selection, reason)) return {false, "the blocks field: " + reason};
    if (list.empty() && app.only_block >= 0) selection.blocks = {app.only_block};
    selection.resampled = false;
    if (read_lc_file(path, observations, app.target, reason, selection) == 0)
        return {false, reason.empty() ? "cannot read " + path : reason};
    auto points = std::make_shared<ref_curve>();
    take_observed_points(observations, *points);
    const std::vector<block_sigma> found = block_sigmas(*points, spin.period, app.sigma);
    apply_block_sigmas(*points, found);
    if (!check_observed_points(*points, reason)) return {false, path + ": " + reason};
    reason = rotation_refusal(*points, spin);
    if (!reason.empty()) return {false, reason};
    reference = std::move(points);
    if (sigmas) *sigmas = found;
    return {true, ""};
}

}  // namespace

command_outcome read_observations(app_state& app, const std::string& path, const spin_state& spin,
                                  obs_set& observations, std::shared_ptr<ref_curve>& reference,
                                  std::vector<block_sigma>* sigmas)
{
    if (chi2_fit_chosen(app)) return read_observed_points(app, path, spin, observations, reference, sigmas);
    std::string reason;
    // The blocks field: a list (or "all") reads each block as its own
    // series; empty, the whole file or --block's one block as before.
    const std::string list = app.target->read_item_text(ctl::blocks, 1 << 12);
    block_selection selection;
    const bool listed = !list.empty();
    if (listed && !parse_block_list(list, selection, reason)) return {false, "the blocks field: " + reason};
    const int32_t read = listed ? read_lc_file(path, observations, app.target, reason, selection)
                                : read_lc_file(path, observations, app.target, reason, app.only_block);
    if (read == 0) return {false, reason.empty() ? "cannot read " + path : reason};
    reference = std::make_shared<ref_curve>();
    if (listed) {
        resample_blocks(observations, *reference);
    } else {
        resample_reference(observations, *reference);
        if (app.only_block >= 0) reference->blocks = {app.only_block};
    }
    if (!check_reference(*reference, reason)) return {false, path + ": " + reason};
    reason = rotation_refusal(*reference, spin);
    if (!reason.empty()) return {false, reason};
    return {true, ""};
}

namespace {

// The load itself; its refusals say why, and the command shows them.
command_outcome load_steps(app_state& app)
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
    std::vector<block_sigma> sigmas;
    outcome = read_observations(app, path, typed, observations, reference, &sigmas);
    if (!outcome.done) return outcome;
    std::string reason;
    const std::string digest = sha256_of_file(path, reason);
    if (digest.empty()) return {false, reason};

    const folder_hold hold(app);
    if (hold.refused()) return {false, hold.why};
    std::vector<std::string> warned;
    if (observed_points(*reference))
        describe_points(ui, *reference, sigmas);
    else
        describe_load(ui, observations, reference->blocks.empty(), app.only_block >= 0, typed.period, warned);
    app.load_warnings = std::move(warned);
    app.observations = std::move(observations);
    app.spin = typed;
    app.reference = reference;
    app.obs_path = path;
    app.obs_sha256 = digest;
    app.block_list = ui.read_item_text(ctl::blocks, 1 << 12);
    if (!app.share.follower && !write_reference_files(*app.reference, app.observations, reason))
        return {false, reason, true};

    ui.enable_item(ctl::generate_shapes);
    ui.enable_item(ctl::step_size);
    return {true, ""};
}

}  // namespace

command_outcome load_lightcurve(app_state& app)
{
    // A refused load says why on the status line: a silent refusal leaves
    // the user no clue which field or which line of the file is wrong.
    const command_outcome outcome = load_steps(app);
    if (!outcome.done) return refuse_visibly(app, outcome.reason, outcome.failed);
    return outcome;
}
