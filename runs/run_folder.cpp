#include "runs/run_folder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/checked_file.hpp"
#include "common/fnv1a.hpp"
#include "lightcurve/sample_file.hpp"
#include "sweep/eval_shape.hpp"

namespace fs = std::filesystem;

namespace {

// The shape number of a lightcurve file name ("00042.lc.txt"), or 0.
int64_t lightcurve_number(const std::string& name)
{
    const std::string suffix = ".lc.txt";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return 0;
    const std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::strtoll(digits.c_str(), nullptr, 10);
}

// Whether a journalled row holds what a sweep writes for a shape of a grid
// of `shapes` with `blocks` blocks: a shape of the grid, a finite misfit and
// a shift in [0, 1], for each block too; in the chi2 fit (`chi2`) the row's
// shift is 0 and each block's carries a finite chi2 and any finite zero
// point. Any other row is computed again.
bool row_trusted(const journal_row& row, std::size_t shapes, int32_t blocks, bool chi2)
{
    const auto fit_sound = [](double misfit, double shift) {
        return std::isfinite(misfit) && shift >= 0.0 && shift <= 1.0;
    };
    const auto block_sound = [&](const block_fit& b) {
        return chi2 ? std::isfinite(b.misfit) && std::isfinite(b.best_shift) : fit_sound(b.misfit, b.best_shift);
    };
    if (row.shape < 1 || static_cast<std::size_t>(row.shape) > shapes || !fit_sound(row.misfit, row.best_shift))
        return false;
    // Rows of one block carry no block fits (but for the chi2 fit's); a
    // joint fit's carry each block's.
    if (row.blocks.size() != (blocks > 1 || chi2 ? static_cast<std::size_t>(blocks) : 0u)) return false;
    for (const block_fit& b : row.blocks)
        if (!block_sound(b)) return false;
    return true;
}

// Whether the lightcurve file of a journalled row is a plain file holding
// exactly the bytes journalled: their count and their FNV-1a checksum.
bool lightcurve_whole(const journal_row& row)
{
    const std::string name = lightcurve_file_name(row.shape);
    std::error_code error;
    // A link at its name is not the sweep's file, whatever it leads to.
    if (!fs::is_regular_file(fs::symlink_status(name, error))) return false;
    std::FILE* in = std::fopen(name.c_str(), "rb");
    if (!in) return false;
    uint64_t checksum = fnv1a_start;
    int64_t size = 0;
    char piece[1 << 14];
    std::size_t got;
    while (size <= row.file_bytes && (got = std::fread(piece, 1, sizeof piece, in)) > 0) {
        checksum = fnv1a(checksum, piece, got);
        size += static_cast<int64_t>(got);
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    return !failed && size == row.file_bytes && checksum == row.file_checksum;
}

}  // namespace

run_files files_of_shard(int32_t k, int32_t s)
{
    run_files files;
    if (s <= 0) return files;
    const std::string tag = ".shard-" + std::to_string(k) + "-of-" + std::to_string(s);
    files.manifest = "output/run" + tag + ".json";
    files.journal = "output/journal" + tag + ".txt";
    files.table = "output/main" + tag + ".txt";
    files.partial = "output/main" + tag + ".partial.txt";
    files.fits = "output/fits" + tag + ".csv";
    files.lock = "morvane" + tag + ".lock";
    files.spin_journal = "output/spins" + tag + ".journal";
    return files;
}

bool check_resumable(const run_inputs& now, run_manifest& recorded, std::string& why, const run_files& files)
{
    if (!read_manifest(files.manifest, recorded, why)) {
        why = "nothing to resume: " + why;
        return false;
    }
    const std::string differences = input_differences(recorded.inputs, now);
    if (!differences.empty()) {
        why = "the run in this folder had other inputs (" + differences + "): start it afresh without resuming";
        return false;
    }
    if (!is_run_id(recorded.run_id)) {
        why = files.manifest +
              " names no run id (it was written by an earlier version), so its journal cannot be told from another "
              "run's: start the run afresh without resuming";
        return false;
    }
    return true;
}

bool take_over_run(const run_inputs& now, std::vector<shape_result>& table, std::vector<block_fit>& block_fits,
                   int32_t blocks, taken_over& out, std::string& why, const run_files& files)
{
    run_manifest recorded;
    if (!check_resumable(now, recorded, why, files)) return false;
    out.finished.assign(table.size(), 0);
    out.kept = 0;
    out.journal_bytes = 0;
    out.run_id = recorded.run_id;
    out.note.clear();
    const journal_contents journal = read_journal(files.journal);
    if (journal.run_id != recorded.run_id) {
        // Rows of another run, or of none named: trusting them could report
        // another run's numbers, so the journal starts afresh.
        out.note = files.journal +
                   (journal.run_id.empty() ? std::string(" is missing or names no run")
                                           : " belongs to run " + journal.run_id + ", not to " + recorded.run_id) +
                   ": every shape is computed again";
        return true;
    }
    out.journal_bytes = journal.valid_bytes;
    const bool chi2 = now.fit == fit_mode_name(fit_mode::chi2);
    for (const journal_row& row : journal.rows) {
        if (!row_trusted(row, table.size(), blocks, chi2)) continue;
        // A file cut short or altered since (a crash before the system wrote
        // it out, a copy gone wrong) is redone; a run without curves has none.
        if (!now.no_curves && !lightcurve_whole(row)) continue;
        shape_result& r = table[static_cast<std::size_t>(row.shape - 1)];
        r.misfit = row.misfit;
        r.best_shift = row.best_shift;
        block_fit* fits = block_fits.data() + static_cast<std::size_t>(row.shape - 1) * blocks;
        if (row.blocks.empty())
            fits[0] = {row.best_shift, row.misfit};
        else
            std::copy(row.blocks.begin(), row.blocks.end(), fits);
        if (!out.finished[static_cast<std::size_t>(row.shape - 1)]) ++out.kept;
        out.finished[static_cast<std::size_t>(row.shape - 1)] = 1;
    }
    return true;
}

bool check_journal_path(const run_files& files, std::string& why)
{
    std::error_code error;
    const fs::file_status status = fs::status(files.journal, error);
    if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::regular) return true;
    why = error ? "cannot check " + files.journal + ": " + error.message()
                : files.journal + " is not a regular file: remove it, or run in another folder";
    return false;
}

namespace {

// Whether the file `name` of output/ is written only by this run: its own
// tables and manifest, and the lightcurve files of its shapes; the whole
// sweep (`own` empty) also writes the samples and the shape file, which
// every shard writes alike.
bool owns_file(const std::string& name, const run_files& files, const std::vector<uint8_t>& own)
{
    const std::string path = "output/" + name;
    if (path == files.table || path == files.partial || path == files.fits || path == files.manifest) return true;
    const int64_t k = lightcurve_number(name);
    if (k >= 1) return own.empty() || (k <= static_cast<int64_t>(own.size()) && own[static_cast<std::size_t>(k - 1)]);
    return own.empty() && (path == "output/best.obj" || path == sample_file);
}

}  // namespace

bool clear_run_folder(const std::vector<uint8_t>& finished, std::string& why, const run_files& files,
                      const std::vector<uint8_t>& own)
{
    std::error_code error;
    std::vector<std::string> tables = {files.table, files.partial, files.fits};
    if (own.empty()) tables.push_back("output/best.obj");
    for (const std::string& name : tables) {
        fs::remove(name, error);
        if (error) {
            why = "cannot remove " + std::string(name) + ": " + error.message();
            return false;
        }
    }
    for (fs::directory_iterator it("output", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // A temporary left by a stopped run of this folder's own files (no
        // other process writes those while this run holds their lock).
        const std::string target = temporary_of(name);
        if (!target.empty()) {
            std::error_code kind;
            if (!it->is_symlink(kind) && !it->is_regular_file(kind)) continue;
            if (!owns_file(target, files, own)) continue;
            std::error_code removal;
            fs::remove(it->path(), removal);
            if (removal) {
                why = "cannot remove " + it->path().string() + ": " + removal.message();
                return false;
            }
            continue;
        }
        const int64_t k = lightcurve_number(name);
        // The plain files a sweep writes, and links at their names (a sweep
        // never writes through one; removing it leaves what it leads to
        // alone). Whatever else bears such a name (a folder, a FIFO) was put
        // there by someone else, and the sweep refuses to write it.
        std::error_code kind;
        const bool link = it->is_symlink(kind);
        if (k < 1 || (!link && !it->is_regular_file(kind))) continue;
        if (!link && k <= static_cast<int64_t>(finished.size()) && finished[static_cast<std::size_t>(k - 1)]) continue;
        if (!own.empty() && (k > static_cast<int64_t>(own.size()) || !own[static_cast<std::size_t>(k - 1)])) continue;
        std::error_code removal;
        fs::remove(it->path(), removal);
        if (removal) {
            why = "cannot remove " + it->path().string() + ": " + removal.message();
            return false;
        }
    }
    if (error) {
        why = "cannot list output: " + error.message();
        return false;
    }
    return true;
}
