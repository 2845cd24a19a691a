#include "runs/run_manifest.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/random.h>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

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

std::string text_of(const json& j)
{
    return j.is_null() ? std::string() : j.get<std::string>();
}

json inputs_json(const run_inputs& in)
{
    return json{{"observation_file", in.observation_file},
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
}

run_inputs inputs_from(const json& j)
{
    run_inputs in;
    in.observation_file = j.at("observation_file").get<std::string>();
    in.observation_sha256 = j.at("observation_sha256").get<std::string>();
    in.block = j.at("block").is_null() ? -1 : j.at("block").get<int32_t>();
    in.blocks = text_of(j.at("blocks"));
    in.fit = j.at("fit").get<std::string>();
    in.lambda_deg = j.at("lambda_deg").get<double>();
    in.beta_deg = j.at("beta_deg").get<double>();
    in.phi0_deg = j.at("phi0_deg").get<double>();
    in.period_hours = j.at("period_hours").get<double>();
    in.t0 = j.at("t0").get<double>();
    in.step = j.at("step").get<double>();
    in.subdivisions = j.at("subdivisions").get<int32_t>();
    // Runs recorded before the choice existed kept their curves.
    in.no_curves = j.contains("curves") && !j.at("curves").get<bool>();
    return in;
}

}  // namespace

bool write_manifest(const std::string& path, const run_manifest& m, std::string& why)
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
    const std::string text = j.dump(2) + "\n";
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.write(text.data(), text.size());
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool read_manifest(const std::string& path, run_manifest& m, std::string& why)
{
    input_file in(path);
    if (!in) {
        why = in.missing() ? path + " not found" : in.error();
        return false;
    }
    try {
        const json j = json::parse(in);
        m.version = j.at("version").get<std::string>();
        // Manifests written before runs had an id have none.
        m.run_id = j.contains("run_id") ? j.at("run_id").get<std::string>() : std::string();
        m.status = j.at("status").get<std::string>();
        m.reason = text_of(j.at("reason"));
        m.inputs = inputs_from(j.at("inputs"));
        m.threads = j.at("threads").get<int32_t>();
        m.sweep_path = j.at("sweep_path").get<std::string>();
        m.shapes = j.at("grid").at("shapes").get<int64_t>();
        m.progress_steps = j.at("grid").at("progress_steps").get<int64_t>();
        m.finished_shapes = j.at("finished_shapes").get<int64_t>();
        m.resumed_shapes = j.at("resumed_shapes").get<int64_t>();
        m.started = j.at("started").get<std::string>();
        m.ended = text_of(j.at("ended"));
        if (j.contains("shard")) {
            m.shard = j.at("shard").at("index").get<int32_t>();
            m.shards = j.at("shard").at("of").get<int32_t>();
        }
        if (j.contains("ranks")) m.ranks = j.at("ranks").get<int32_t>();
    } catch (const json::exception& e) {
        why = path + " is not a run manifest: " + e.what();
        return false;
    }
    return true;
}

std::string input_differences(const run_inputs& recorded, const run_inputs& now)
{
    const json a = inputs_json(recorded);
    const json b = inputs_json(now);
    std::string out;
    for (auto it = a.begin(); it != a.end(); ++it) {
        // The same bytes under another name or path are the same input.
        if (it.key() == "observation_file") continue;
        const json& other = b.at(it.key());
        if (it.value() != other) {
            if (!out.empty()) out += "; ";
            out += it.key() + ": " + it.value().dump() + " -> " + other.dump();
        }
    }
    return out;
}
