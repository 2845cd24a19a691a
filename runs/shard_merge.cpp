#include "runs/shard_merge.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"

namespace fs = std::filesystem;

namespace {

// A refusal.
merge_outcome refused(const std::string& why)
{
    merge_outcome out;
    out.reason = why;
    return out;
}

// The shard counts S of the shard manifests in output/ ("run.shard-K-of-S.json").
std::map<int32_t, std::vector<int32_t>> shard_manifests()
{
    std::map<int32_t, std::vector<int32_t>> found;
    std::error_code error;
    for (fs::directory_iterator it("output", error), end; !error && it != end; it.increment(error)) {
        int k = 0, s = 0, used = 0;
        const std::string name = it->path().filename().string();
        if (std::sscanf(name.c_str(), "run.shard-%d-of-%d.json%n", &k, &s, &used) == 2 &&
            used == static_cast<int>(name.size()) && k >= 1 && k <= s)
            found[s].push_back(k);
    }
    return found;
}

// The first number of a line (the shape), or 0.
int64_t leading_shape(const std::string& line)
{
    return std::strtoll(line.c_str(), nullptr, 10);
}

// Reads the lines of a shard's table into `lines` by shape; the refusal,
// or "".
std::string take_lines(const std::string& path, int64_t shapes, bool header, std::vector<std::string>& lines,
                       std::vector<int32_t>& owner, int32_t shard)
{
    input_file in(path);
    if (!in) return in.missing() ? path + " is missing" : in.error();
    std::string line;
    bool first = true;
    int64_t last = 0;
    while (std::getline(in, line)) {
        if (header && first) {
            first = false;
            continue;
        }
        const int64_t k = leading_shape(line);
        if (k < 1 || k > shapes) return path + " holds a line of no shape of the grid: " + line;
        // A joint fit's table has one line per block: they follow each other.
        if (owner[k - 1] != 0 && !(header && owner[k - 1] == shard && last == k))
            return "shape " + std::to_string(k) + " is in shard " + std::to_string(owner[k - 1]) + " and shard " +
                   std::to_string(shard);
        owner[k - 1] = shard;
        lines[k - 1] += line + "\n";
        last = k;
    }
    return "";
}

// Writes `header` and the lines in shape order through a temporary file.
std::string write_lines(const std::string& path, const std::string& header, const std::vector<std::string>& lines)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        out.write(header.data(), header.size());
        for (const std::string& l : lines) out.write(l.data(), l.size());
        out.close();
    }
    return out.error();
}

}  // namespace

merge_outcome merge_shards()
{
    const auto found = shard_manifests();
    if (found.empty())
        return refused("no shard of a run in output/ (output/run.shard-K-of-S.json): run the shards first");
    if (found.size() > 1) {
        std::string counts;
        for (const auto& [s, ks] : found) counts += (counts.empty() ? "" : ", ") + std::to_string(s);
        return refused("output/ holds shards of different splits (of " + counts + "): keep one split's files");
    }
    const int32_t s = found.begin()->first;
    std::vector<run_manifest> manifests(static_cast<std::size_t>(s));
    std::string missing;
    for (int32_t k = 1; k <= s; ++k) {
        std::string why;
        if (!read_manifest(files_of_shard(k, s).manifest, manifests[k - 1], why))
            missing += (missing.empty() ? "" : ", ") + std::to_string(k);
    }
    if (!missing.empty())
        return refused("shard " + missing + " of " + std::to_string(s) + " is missing (" +
                       files_of_shard(std::atoi(missing.c_str()), s).manifest + "): run it, then merge");
    const run_manifest& first = manifests[0];
    for (int32_t k = 1; k <= s; ++k) {
        const run_manifest& m = manifests[k - 1];
        const std::string name = "shard " + std::to_string(k) + " of " + std::to_string(s);
        if (m.status != "complete")
            return refused(name + " has not completed (" + m.status + (m.reason.empty() ? "" : ": " + m.reason) +
                           "): finish it with --resume, then merge");
        const std::string differences = input_differences(first.inputs, m.inputs);
        if (!differences.empty() || m.shapes != first.shapes)
            return refused(name + " comes from other inputs than shard 1 (" +
                           (differences.empty() ? std::string("grid size") : differences) + "): rerun it");
    }
    const int64_t shapes = first.shapes;
    std::vector<std::string> rows(static_cast<std::size_t>(shapes)), fits;
    std::vector<int32_t> owner(static_cast<std::size_t>(shapes), 0), fit_owner;
    const bool joint = fs::exists(files_of_shard(1, s).fits);
    if (joint) {
        fits.resize(static_cast<std::size_t>(shapes));
        fit_owner.assign(static_cast<std::size_t>(shapes), 0);
    }
    for (int32_t k = 1; k <= s; ++k) {
        const run_files files = files_of_shard(k, s);
        std::string why = take_lines(files.table, shapes, false, rows, owner, k);
        if (why.empty() && joint) why = take_lines(files.fits, shapes, true, fits, fit_owner, k);
        if (!why.empty()) return refused(why);
    }
    for (int64_t i = 0; i < shapes; ++i)
        if (owner[static_cast<std::size_t>(i)] == 0)
            return refused("shape " + std::to_string(i + 1) +
                           " is in no shard's table: the shards do not cover the grid");

    merge_outcome out;
    out.shards = s;
    out.shapes = shapes;
    std::string why = write_lines("output/main.txt", "", rows);
    if (why.empty() && joint) why = write_lines("output/fits.csv", "shape,block,shift,misfit\n", fits);
    if (why.empty()) {
        run_manifest merged = first;
        merged.shard = 0;
        merged.shards = s;
        // The joined run is a record of its own: no journal holds its rows
        // (without an id a resume refuses it).
        std::string no_id;
        if (!new_run_id(merged.run_id, no_id)) merged.run_id.clear();
        merged.finished_shapes = 0;
        merged.resumed_shapes = 0;
        for (const run_manifest& m : manifests) {
            merged.finished_shapes += m.finished_shapes;
            merged.resumed_shapes += m.resumed_shapes;
            if (m.started < merged.started) merged.started = m.started;
            if (m.ended > merged.ended) merged.ended = m.ended;
        }
        write_manifest(manifest_file, merged, why);
    }
    out.failed = !why.empty();
    out.done = why.empty();
    out.reason = why;
    return out;
}
