#include "runs/run_manifest.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/random.h>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "mesh/base_shape.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/shape_grid.hpp"
#include "sweep/spin.hpp"

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "unknown"
#endif

using json = nlohmann::ordered_json;

const char* program_version()
{
    return MORVANE_VERSION;
}

bool new_run_id(std::string& id, std::string& why)
{
    unsigned char bits[16];
    std::size_t got = 0;
    while (got < sizeof bits) {
        const ssize_t n = getrandom(bits + got, sizeof bits - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = std::string("cannot draw a run id: ") + std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    char text[2 * sizeof bits + 1];
    for (std::size_t i = 0; i < sizeof bits; ++i) std::snprintf(text + 2 * i, 3, "%02x", bits[i]);
    id = text;
    return true;
}

std::string utc_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

namespace {

// A text or null for "" (a time not yet reached, a reason not given).
json text_or_null(const std::string& text)
{
    return text.empty() ? json(nullptr) : json(text);
}

json inputs_json(const run_inputs& in)
{
    json j{{"observation_file", in.observation_file},
           {"observation_sha256", in.observation_sha256},
           {"block", in.block < 0 ? json(nullptr) : json(in.block)},
           {"blocks", text_or_null(in.blocks)},
           {"fit", in.fit},
           {"lambda_deg", in.lambda_deg},
           {"beta_deg", in.beta_deg},
           {"phi0_deg", in.phi0_deg},
           {"period_hours", in.period_hours},
           {"t0", in.t0},
           {"step", in.step},
           {"subdivisions", in.subdivisions},
           {"curves", !in.no_curves}};
    // Only the chi2 fit has a sigma: null when each block's is estimated.
    if (in.fit == fit_mode_name(fit_mode::chi2)) j["sigma"] = in.sigma > 0.0 ? json(in.sigma) : json(nullptr);
    return j;
}

// Takes the fields of a manifest's JSON, each checked for its type (and a
// count for its range) before it is read; keeps the first field that is
// missing or wrong, and gives neutral values after it.
class field_reader {
public:
    // The first problem ("" while there is none).
    const std::string& problem() const { return problem_; }

    // A member of `object` ("where.name" in the problem), or null when missing.
    const json& member(const json& object, const std::string& where, const char* name)
    {
        static const json missing;
        if (!object.is_object() || !object.contains(name)) {
            note(where + name + " is missing");
            return missing;
        }
        return object.at(name);
    }
    const json& object(const json& parent, const std::string& where, const char* name)
    {
        const json& j = member(parent, where, name);
        if (!j.is_object()) note(where + name + " must be an object");
        return j;
    }
    std::string text(const json& parent, const std::string& where, const char* name)
    {
        const json& j = member(parent, where, name);
        if (j.is_string()) return j.get<std::string>();
        note(where + name + " must be a text");
        return {};
    }
    // An array of texts (at most 1000 kept).
    std::vector<std::string> texts(const json& parent, const std::string& where, const char* name)
    {
        const json& j = member(parent, where, name);
        std::vector<std::string> out;
        for (std::size_t i = 0; j.is_array() && i < j.size() && i < 1000; ++i)
            if (j[i].is_string()) out.push_back(j[i].get<std::string>());
        if (!j.is_array() || out.size() != std::min<std::size_t>(j.size(), 1000))
            note(where + name + " must be an array of texts");
        return out;
    }
    // A text, or null for "".
    std::string text_or_null(const json& parent, const std::string& where, const char* name)
    {
        return member(parent, where, name).is_null() ? std::string() : text(parent, where, name);
    }
    // A finite number.
    double number(const json& parent, const std::string& where, const char* name)
    {
        const json& j = member(parent, where, name);
        if (j.is_number() && std::isfinite(j.get<double>())) return j.get<double>();
        note(where + name + " must be a finite number");
        return 0.0;
    }
    // A whole number from `low` to `high` (0 <= high).
    int64_t whole(const json& parent, const std::string& where, const char* name, int64_t low, int64_t high)
    {
        const json& j = member(parent, where, name);
        bool fits = false;
        int64_t value = 0;
        if (j.is_number_unsigned()) {
            fits = j.get<uint64_t>() <= static_cast<uint64_t>(high);
            if (fits) value = static_cast<int64_t>(j.get<uint64_t>());
        } else if (j.is_number_integer()) {
            value = j.get<int64_t>();
            fits = true;
        }
        if (fits && value >= low && value <= high) return value;
        note(where + name + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
        return low;
    }
    bool flag(const json& parent, const std::string& where, const char* name)
    {
        const json& j = member(parent, where, name);
        if (j.is_boolean()) return j.get<bool>();
        note(where + name + " must be true or false");
        return false;
    }
    // Records a problem found by the caller.
    void note(const std::string& problem)
    {
        if (problem_.empty()) problem_ = problem;
    }

private:
    std::string problem_;
};

// Whether `word` is one of `words`.
bool one_of(const std::string& word, std::initializer_list<const char*> words)
{
    for (const char* w : words)
        if (word == w) return true;
    return false;
}

run_inputs inputs_from(const json& j, field_reader& f)
{
    const std::string at = "inputs.";
    run_inputs in;
    in.observation_file = f.text(j, at, "observation_file");
    in.observation_sha256 = f.text(j, at, "observation_sha256");
    in.block = f.member(j, at, "block").is_null() ? -1 : static_cast<int32_t>(f.whole(j, at, "block", 0, INT32_MAX));
    in.blocks = f.text_or_null(j, at, "blocks");
    in.fit = f.text(j, at, "fit");
    in.lambda_deg = f.number(j, at, "lambda_deg");
    in.beta_deg = f.number(j, at, "beta_deg");
    in.phi0_deg = f.number(j, at, "phi0_deg");
    in.period_hours = f.number(j, at, "period_hours");
    in.t0 = f.number(j, at, "t0");
    in.step = f.number(j, at, "step");
    in.subdivisions = static_cast<int32_t>(f.whole(j, at, "subdivisions", min_subdivisions, max_subdivisions));
    // Runs recorded before the choice existed kept their curves.
    in.no_curves = j.is_object() && j.contains("curves") && !f.flag(j, at, "curves");
    fit_mode mode = fit_mode::range;
    if (f.problem().empty() && !parse_fit_mode(in.fit, mode))
        f.note("inputs.fit \"" + in.fit + "\" is not range, offset or chi2");
    // The chi2 fit's sigma: null when estimated, else a number above 0.
    if (f.problem().empty() && mode == fit_mode::chi2 && !f.member(j, at, "sigma").is_null()) {
        in.sigma = f.number(j, at, "sigma");
        if (f.problem().empty() && !(in.sigma > 0.0)) f.note("inputs.sigma must be greater than 0 (or null)");
    }
    spin_state spin;
    spin.lambda_deg = in.lambda_deg;
    spin.beta_deg = in.beta_deg;
    spin.phi0_deg = in.phi0_deg;
    spin.period_hours = in.period_hours;
    spin.t0 = in.t0;
    if (std::string refusal; f.problem().empty() && !check_spin_ranges(spin, refusal)) f.note("inputs: " + refusal);
    if (f.problem().empty() && !(in.step > 0.0)) f.note("inputs.step must be greater than 0");
    return in;
}

// The grid of a step, counted once for the last step asked (a merge reads
// the same step from every shard's manifest).
grid_count counted_grid(double step)
{
    thread_local double last_step = 0.0;
    thread_local grid_count last;
    if (!(step == last_step)) {
        last = count_grid(step, INT32_MAX);
        last_step = step;
    }
    return last;
}

// Whether the brackets of a JSON text nest at most `limit` deep (outside
// strings), so that no parse or copy of it recurses further.
bool nests_within(const std::string& text, int limit)
{
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// The refinement's object of a manifest.
json refinement_json(const refinement_record& r)
{
    return json{{"starts", r.starts},
                {"subdivisions", r.subdivisions},
                {"spin_refined", r.spin},
                {"best_chi2", r.best_chi2},
                {"reduced_chi2", r.reduced_chi2},
                {"rms_mag", std::isfinite(r.rms_mag) ? json(r.rms_mag) : json(nullptr)},
                {"evaluations", r.evaluations}};
}

// Takes the refinement's object, each field checked as the others are.
refinement_record refinement_from(const json& j, field_reader& f)
{
    const std::string at = "refinement.";
    refinement_record r;
    r.starts = static_cast<int32_t>(f.whole(j, at, "starts", 1, INT32_MAX));
    r.subdivisions = static_cast<int32_t>(f.whole(j, at, "subdivisions", min_subdivisions, max_subdivisions));
    r.spin = f.flag(j, at, "spin_refined");
    r.best_chi2 = f.number(j, at, "best_chi2");
    r.reduced_chi2 = f.number(j, at, "reduced_chi2");
    r.rms_mag = f.member(j, at, "rms_mag").is_null() ? std::nan("") : f.number(j, at, "rms_mag");
    r.evaluations = f.whole(j, at, "evaluations", 0, INT64_MAX);
    return r;
}

// The spin search's object of a manifest.
json spin_search_json(const spin_search_record& r)
{
    json levels = json::array();
    for (const spin_search_record::level& l : r.each_level)
        levels.push_back({{"nside", l.nside},
                          {"subdivisions", l.subdivisions},
                          {"spins", l.spins},
                          {"under_threshold", l.under},
                          {"threshold", l.threshold},
                          {"seconds", l.seconds}});
    return json{{"nside", r.nside},
                {"levels", r.levels},
                {"scan_subdivisions", r.scan_subdivisions},
                {"carry_at_least", r.carry},
                {"periods", {{"first_h", r.period_first_h}, {"last_h", r.period_last_h}, {"count", r.periods}}},
                {"spins", r.spins},
                {"best",
                 {{"lambda_deg", r.lambda_deg},
                  {"beta_deg", r.beta_deg},
                  {"period_h", r.period_h},
                  {"phi0_deg", r.phi0_deg},
                  {"chi2", r.best_chi2},
                  {"reduced_chi2", r.reduced_chi2}}},
                {"seconds", r.seconds},
                {"each_level", levels}};
}

// Takes the spin search's object, each field checked as the others are.
spin_search_record spin_search_from(const json& j, field_reader& f)
{
    const std::string at = "spin_search.";
    spin_search_record r;
    r.nside = static_cast<int32_t>(f.whole(j, at, "nside", 1, INT32_MAX));
    r.levels = static_cast<int32_t>(f.whole(j, at, "levels", 1, INT32_MAX));
    r.scan_subdivisions = static_cast<int32_t>(f.whole(j, at, "scan_subdivisions", min_subdivisions, max_subdivisions));
    if (j.is_object() && j.contains("carry_at_least"))
        r.carry = static_cast<int32_t>(f.whole(j, at, "carry_at_least", 0, INT32_MAX));
    const json& periods = f.object(j, at, "periods");
    r.period_first_h = f.number(periods, at + "periods.", "first_h");
    r.period_last_h = f.number(periods, at + "periods.", "last_h");
    r.periods = static_cast<int32_t>(f.whole(periods, at + "periods.", "count", 1, INT32_MAX));
    r.spins = f.whole(j, at, "spins", 1, INT64_MAX);
    const json& best = f.object(j, at, "best");
    r.lambda_deg = f.number(best, at + "best.", "lambda_deg");
    r.beta_deg = f.number(best, at + "best.", "beta_deg");
    r.period_h = f.number(best, at + "best.", "period_h");
    r.phi0_deg = f.number(best, at + "best.", "phi0_deg");
    r.best_chi2 = f.number(best, at + "best.", "chi2");
    r.reduced_chi2 = f.number(best, at + "best.", "reduced_chi2");
    r.seconds = f.number(j, at, "seconds");
    static const json none = json::array();
    const json& levels = j.is_object() && j.contains("each_level") ? f.member(j, at, "each_level") : none;
    if (levels.is_array())
        for (std::size_t i = 0; i < levels.size() && i < 16; ++i) {
            const std::string here = at + "each_level[" + std::to_string(i) + "].";
            spin_search_record::level l;
            l.nside = static_cast<int32_t>(f.whole(levels[i], here, "nside", 1, INT32_MAX));
            l.subdivisions =
                static_cast<int32_t>(f.whole(levels[i], here, "subdivisions", min_subdivisions, max_subdivisions));
            l.spins = f.whole(levels[i], here, "spins", 0, INT64_MAX);
            l.under = f.whole(levels[i], here, "under_threshold", 0, INT64_MAX);
            l.threshold = f.number(levels[i], here, "threshold");
            l.seconds = f.number(levels[i], here, "seconds");
            r.each_level.push_back(l);
        }
    return r;
}

}  // namespace

std::string manifest_text(const run_manifest& m)
{
    json j{{"program", "morvane"},
           {"version", m.version},
           {"run_id", m.run_id},
           {"status", m.status},
           {"reason", text_or_null(m.reason)},
           {"inputs", inputs_json(m.inputs)},
           {"threads", m.threads},
           {"sweep_path", m.sweep_path},
           {"grid", {{"shapes", m.shapes}, {"progress_steps", m.progress_steps}}},
           {"finished_shapes", m.finished_shapes},
           {"resumed_shapes", m.resumed_shapes},
           {"started", m.started},
           {"ended", text_or_null(m.ended)}};
    if (m.shards > 0) j["shard"] = {{"index", m.shard}, {"of", m.shards}};
    if (m.ranks > 0) j["ranks"] = m.ranks;
    if (!m.load_warnings.empty()) j["load_warnings"] = m.load_warnings;
    if (m.refinement.starts > 0) j["refinement"] = refinement_json(m.refinement);
    if (m.spin_search.nside > 0) j["spin_search"] = spin_search_json(m.spin_search);
    // JSON holds UTF-8: a byte of another encoding in a text (a file name
    // in Latin-1) is written as U+FFFD rather than refused.
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_manifest(const std::string& path, const run_manifest& m, std::string& why)
{
    const std::string text = manifest_text(m);
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.write(text.data(), text.size());
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool parse_manifest(const std::string& text, const std::string& origin, run_manifest& m, std::string& why)
{
    const std::string refusal = origin + " is not a run manifest: ";
    if (text.size() > max_manifest_bytes) {
        why = refusal + "it is larger than " + std::to_string(max_manifest_bytes) + " bytes";
        return false;
    }
    // A manifest nests three deep; far deeper text is not one, and is not
    // handed to the parser.
    if (!nests_within(text, 16)) {
        why = refusal + "it nests deeper than a manifest does";
        return false;
    }
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        why = refusal + e.what();
        return false;
    }
    field_reader f;
    run_manifest read;
    read.version = f.text(j, "", "version");
    // Manifests written before runs had an id have none.
    if (j.is_object() && j.contains("run_id")) read.run_id = f.text(j, "", "run_id");
    read.status = f.text(j, "", "status");
    read.reason = f.text_or_null(j, "", "reason");
    read.inputs = inputs_from(f.object(j, "", "inputs"), f);
    read.threads = static_cast<int32_t>(f.whole(j, "", "threads", 1, max_sweep_threads));
    read.sweep_path = f.text(j, "", "sweep_path");
    const json& grid = f.object(j, "", "grid");
    read.shapes = f.whole(grid, "grid.", "shapes", 1, INT32_MAX);
    read.progress_steps = f.whole(grid, "grid.", "progress_steps", 1, INT32_MAX);
    read.finished_shapes = f.whole(j, "", "finished_shapes", 0, read.shapes);
    read.resumed_shapes = f.whole(j, "", "resumed_shapes", 0, read.shapes);
    read.started = f.text(j, "", "started");
    read.ended = f.text_or_null(j, "", "ended");
    if (j.is_object() && j.contains("shard")) {
        const json& shard = f.object(j, "", "shard");
        read.shards = static_cast<int32_t>(f.whole(shard, "shard.", "of", 1, max_shards));
        // Index 0 of S: the record of the merged run.
        read.shard = static_cast<int32_t>(f.whole(shard, "shard.", "index", 0, read.shards));
    }
    if (j.is_object() && j.contains("ranks")) read.ranks = static_cast<int32_t>(f.whole(j, "", "ranks", 1, INT32_MAX));
    if (j.is_object() && j.contains("load_warnings")) read.load_warnings = f.texts(j, "", "load_warnings");
    // Runs before refinement existed, and runs without one, have none.
    if (j.is_object() && j.contains("refinement")) read.refinement = refinement_from(f.object(j, "", "refinement"), f);
    if (j.is_object() && j.contains("spin_search"))
        read.spin_search = spin_search_from(f.object(j, "", "spin_search"), f);
    if (f.problem().empty() && !one_of(read.status, {"running", "complete", "cancelled", "failed"}))
        f.note("status \"" + read.status + "\" is none of running, complete, cancelled and failed");
    if (f.problem().empty() && !one_of(read.sweep_path, {"fast", "reference"}))
        f.note("sweep_path \"" + read.sweep_path + "\" is neither fast nor reference");
    if (!f.problem().empty()) {
        why = refusal + f.problem();
        return false;
    }
    // The grid's size follows from the step: never taken on trust.
    const grid_count count = counted_grid(read.inputs.step);
    if (count.too_large || count.shapes != read.shapes || count.progress_steps != read.progress_steps) {
        char text_of_step[40];
        std::snprintf(text_of_step, sizeof text_of_step, "%.17g", read.inputs.step);
        why = origin + ": the grid of step " + text_of_step +
              (count.too_large ? " has more than " + std::to_string(INT32_MAX) + " shapes"
                               : " has " + std::to_string(count.shapes) + " shapes in " +
                                     std::to_string(count.progress_steps) + " progress steps") +
              ", not the " + std::to_string(read.shapes) + " in " + std::to_string(read.progress_steps) +
              " the manifest records";
        return false;
    }
    m = std::move(read);
    return true;
}

bool read_manifest(const std::string& path, run_manifest& m, std::string& why)
{
    input_file in(path);
    if (!in) {
        why = in.missing() ? path + " not found" : "cannot read " + in.error();
        return false;
    }
    // Read in pieces, hardly more than a manifest may have (parse_manifest
    // refuses the rest); a failed read (a folder of that name) sets the
    // stream's bad bit.
    std::string text;
    char piece[1 << 14];
    errno = 0;
    do {
        in.read(piece, sizeof piece);
        text.append(piece, static_cast<std::size_t>(in.gcount()));
    } while (in && text.size() <= max_manifest_bytes);
    if (in.bad()) {
        why = file_failure("read", path, errno ? errno : EIO);
        return false;
    }
    return parse_manifest(text, path, m, why);
}

std::string input_differences(const run_inputs& recorded, const run_inputs& now)
{
    const json a = inputs_json(recorded);
    const json b = inputs_json(now);
    std::string out;
    for (auto it = a.begin(); it != a.end(); ++it) {
        // The same bytes under another name or path are the same input.
        if (it.key() == "observation_file") continue;
        const json other = b.contains(it.key()) ? b.at(it.key()) : json(nullptr);
        if (it.value() != other) {
            if (!out.empty()) out += "; ";
            out += it.key() + ": " + it.value().dump() + " -> " + other.dump();
        }
    }
    // A field only one fit has (the chi2 fit's sigma).
    for (auto it = b.begin(); it != b.end(); ++it)
        if (!a.contains(it.key())) {
            if (!out.empty()) out += "; ";
            out += it.key() + ": null -> " + it.value().dump();
        }
    return out;
}
