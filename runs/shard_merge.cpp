#include "runs/shard_merge.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "inversion/spin_journal.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"
#include "runs/spin_results.hpp"
#include "runs/summary_table.hpp"

namespace fs = std::filesystem;

namespace {

// The fewest bytes of a summary row: ten numbers, nine blanks, a line end.
constexpr int64_t min_row_bytes = 20;

// A refusal.
merge_outcome refused(const std::string& why)
{
    merge_outcome out;
    out.reason = why;
    return out;
}

// The whole number whose digits start at `text`, moving past them all; -1
// when there are none, INT32_MAX when it is larger (past every shard count).
int32_t shard_number(const char*& text)
{
    int64_t value = 0;
    const char* start = text;
    for (; *text >= '0' && *text <= '9'; ++text) value = std::min<int64_t>(value * 10 + (*text - '0'), INT32_MAX);
    return text == start ? -1 : static_cast<int32_t>(value);
}

// The shard manifests in output/ ("run.shard-K-of-S.json"), their K by S;
// false with `why` naming the first such name whose K and S no shard can
// have (1 <= K <= S <= max_shards).
bool shard_manifests(std::map<int32_t, std::vector<int32_t>>& found, std::string& why)
{
    std::error_code error;
    for (fs::directory_iterator it("output", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string head = "run.shard-", middle = "-of-", tail = ".json";
        if (name.rfind(head, 0) != 0) continue;
        const char* text = name.c_str() + head.size();
        const int32_t k = shard_number(text);
        if (std::string(text).rfind(middle, 0) != 0) continue;
        text += middle.size();
        const int32_t s = shard_number(text);
        if (text != tail) continue;
        if (k < 1 || s < 1 || k > s || s > max_shards) {
            why = "output/" + name +
                  " names no shard of a run (K of S with 1 <= K <= S <= " + std::to_string(max_shards) + "): remove it";
            return false;
        }
        found[s].push_back(k);
    }
    return true;
}

// The bytes of a file, 0 when it has none or is not there.
int64_t bytes_of(const std::string& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<int64_t>(size);
}

// Reads the lines of a shard's table into `lines` by shape, each checked
// to be a line of its kind (a summary row, or after the header line
// `header` a block fit, of the chi2 fit with `chi2`) of a shape of the
// grid; the refusal, or "".
std::string take_lines(const std::string& path, int64_t shapes, const char* block_header, bool chi2,
                       std::vector<std::string>& lines, std::vector<int32_t>& owner, int32_t shard)
{
    const bool header = block_header != nullptr;
    input_file in(path);
    if (!in) return in.missing() ? path + " is missing" : in.error();
    std::string line;
    bool first = true;
    int64_t last = 0, number = 0;
    errno = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (header && first) {
            first = false;
            if (line != block_header) return where + "not the header \"" + block_header + "\"";
            continue;
        }
        summary_row row;
        const bool sound = !header ? parse_summary_line(line, shapes, row)
                           : chi2  ? parse_chi2_fit_line(line, shapes)
                                   : parse_block_fit_line(line, shapes);
        if (!sound)
            return where + "not a line of a shape of the grid of " + std::to_string(shapes) +
                   " shapes: " + line.substr(0, 200);
        const int64_t k = std::strtoll(line.c_str(), nullptr, 10);
        // A joint fit's table has one line per block: they follow each other.
        if (owner[k - 1] != 0 && !(header && owner[k - 1] == shard && last == k))
            return "shape " + std::to_string(k) + " is in shard " + std::to_string(owner[k - 1]) + " and shard " +
                   std::to_string(shard);
        owner[k - 1] = shard;
        lines[k - 1] += line + "\n";
        last = k;
    }
    if (in.bad()) return file_failure("read", path, errno ? errno : EIO);
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

// The spin search the shards shared, rebuilt from their journals into
// `out`, and the merged journal's text (every level's spins, best first);
// "" when it holds together, else why not. Every shard's record must be
// shard 1's and every journal of the same search.
std::string rebuild_spin_search(int32_t s, const std::vector<run_manifest>& manifests, spin_search_result& out,
                                std::string& journal)
{
    const spin_search_record& first = manifests[0].spin_search;
    uint64_t key = 0;
    std::vector<spin_fit> fitted;
    for (int32_t k = 1; k <= s; ++k) {
        const spin_search_record& r = manifests[static_cast<std::size_t>(k - 1)].spin_search;
        const std::string name = "shard " + std::to_string(k) + " of " + std::to_string(s);
        if (r.nside != first.nside || r.levels != first.levels || r.periods != first.periods ||
            r.carry != first.carry || r.spins != first.spins || r.lambda_deg != first.lambda_deg ||
            r.beta_deg != first.beta_deg)
            return name + " records another spin search than shard 1: rerun it";
        const std::string path = files_of_shard(k, s).spin_journal;
        std::string text, why;
        if (!read_regular_file(path, text, why)) return why + ": rerun " + name + " with --resume";
        uint64_t own = 0;
        if (!spin_journal_key(text, own) || (k > 1 && own != key))
            return path + " is not the journal of shard 1's spin search: rerun " + name;
        key = own;
        const std::vector<spin_fit> spins = parse_spin_journal(text, key);
        fitted.insert(fitted.end(), spins.begin(), spins.end());
    }
    std::vector<double> thresholds;
    for (const spin_search_record::level& l : first.each_level) thresholds.push_back(l.threshold);
    std::string why;
    if (!rebuild_spin_levels(fitted, first.nside, first.periods, first.carry, thresholds, out, why))
        return "the shards' spin journals do not hold the search: " + why;
    if (out.best().at.lambda_deg != first.lambda_deg || out.best().at.beta_deg != first.beta_deg)
        return "the shards' spin journals give another best spin than their records: rerun the shards";
    journal = spin_journal_header(key);
    for (const spin_level_result& level : out.levels)
        for (const spin_fit& spin : level.spins) journal += spin_journal_line(spin);
    return "";
}

}  // namespace

merge_outcome merge_shards()
{
    std::map<int32_t, std::vector<int32_t>> found;
    if (std::string why; !shard_manifests(found, why)) return refused(why);
    if (found.empty())
        return refused("no shard of a run in output/ (output/run.shard-K-of-S.json): run the shards first");
    if (found.size() > 1) {
        std::string counts;
        for (const auto& [s, ks] : found) counts += (counts.empty() ? "" : ", ") + std::to_string(s);
        return refused("output/ holds shards of different splits (of " + counts + "): keep one split's files");
    }
    const int32_t s = found.begin()->first;
    // Every shard's manifest there before any is read: a split of many
    // shards with one file is refused at once.
    std::string missing;
    int32_t first_missing = 0;
    for (int32_t k = 1; k <= s; ++k) {
        std::error_code error;
        if (fs::symlink_status(files_of_shard(k, s).manifest, error).type() != fs::file_type::not_found) continue;
        if (first_missing == 0) first_missing = k;
        missing += (missing.empty() ? "" : ", ") + std::to_string(k);
    }
    if (!missing.empty())
        return refused("shard " + missing + " of " + std::to_string(s) + " is missing (" +
                       files_of_shard(first_missing, s).manifest + "): run it, then merge");
    std::vector<run_manifest> manifests(static_cast<std::size_t>(s));
    for (int32_t k = 1; k <= s; ++k) {
        std::string why;
        const std::string path = files_of_shard(k, s).manifest;
        if (!read_manifest(path, manifests[k - 1], why)) return refused(why + ": rerun that shard");
        const run_manifest& m = manifests[k - 1];
        if (m.shard != k || m.shards != s)
            return refused(path + " records shard " + std::to_string(m.shard) + " of " + std::to_string(m.shards) +
                           ", not shard " + std::to_string(k) + " of " + std::to_string(s) + ": rerun that shard");
    }
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
    const bool joint = fs::exists(files_of_shard(1, s).fits);
    const bool chi2 = first.inputs.fit == fit_mode_name(fit_mode::chi2);
    const char* fits_header = chi2 ? chi2_fits_header : block_fits_header;
    // Every shape has a row of at least min_row_bytes in some shard's table:
    // tables too small for the grid are refused before the rows are
    // allocated, so what is allocated follows what is on disk.
    int64_t table_bytes = 0;
    for (int32_t k = 1; k <= s; ++k) table_bytes += bytes_of(files_of_shard(k, s).table);
    if (table_bytes / min_row_bytes < shapes)
        return refused("the shards' tables hold " + std::to_string(table_bytes) + " bytes, too few for the " +
                       std::to_string(shapes) + " rows of the grid: the shards do not cover it");
    std::vector<std::string> rows(static_cast<std::size_t>(shapes)), fits;
    std::vector<int32_t> owner(static_cast<std::size_t>(shapes), 0), fit_owner;
    if (joint) {
        fits.resize(static_cast<std::size_t>(shapes));
        fit_owner.assign(static_cast<std::size_t>(shapes), 0);
    }
    for (int32_t k = 1; k <= s; ++k) {
        const run_files files = files_of_shard(k, s);
        std::string why = take_lines(files.table, shapes, nullptr, chi2, rows, owner, k);
        if (why.empty() && joint) why = take_lines(files.fits, shapes, fits_header, chi2, fits, fit_owner, k);
        if (!why.empty()) return refused(why);
    }
    for (int64_t i = 0; i < shapes; ++i)
        if (owner[static_cast<std::size_t>(i)] == 0)
            return refused("shape " + std::to_string(i + 1) +
                           " is in no shard's table: the shards do not cover the grid");
    // A complete shard finished every shape of its table, and no other:
    // the merged record's counts are then the grid's.
    std::vector<int64_t> rows_of(static_cast<std::size_t>(s) + 1, 0);
    for (const int32_t k : owner) ++rows_of[static_cast<std::size_t>(k)];
    for (int32_t k = 1; k <= s; ++k) {
        const run_manifest& m = manifests[k - 1];
        if (m.finished_shapes != rows_of[k] || m.resumed_shapes > m.finished_shapes)
            return refused("shard " + std::to_string(k) + " of " + std::to_string(s) + " records " +
                           std::to_string(m.finished_shapes) + " finished shapes (" + std::to_string(m.resumed_shapes) +
                           " resumed), but its table holds " + std::to_string(rows_of[k]) + ": rerun that shard");
    }

    spin_search_result spins;
    std::string spin_journal;
    if (first.spin_search.nside > 0)
        if (const std::string why = rebuild_spin_search(s, manifests, spins, spin_journal); !why.empty())
            return refused(why);

    merge_outcome out;
    out.shards = s;
    out.shapes = shapes;
    std::string why = write_lines("output/main.txt", "", rows);
    if (why.empty() && joint) why = write_lines("output/fits.csv", std::string(fits_header) + "\n", fits);
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
    if (why.empty() && !spins.levels.empty()) {
        std::string words[5];
        best_spin_words(spins, first.inputs.t0, words);
        why = write_lines(files_of_shard(0, 0).spin_journal, spin_journal, {});
        if (why.empty() && write_spin_rows("output/spins.txt", spins.levels.back(), why))
            write_spin_file("output/spin.txt", words, why);
        out.spins = static_cast<int64_t>(spins.levels.back().spins.size());
    }
    out.failed = !why.empty();
    out.done = why.empty();
    out.reason = why;
    return out;
}
