#include "runs/run_folder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

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
    return files;
}

bool take_over_run(const run_inputs& now, std::vector<shape_result>& table, std::vector<block_fit>& block_fits,
                   int32_t blocks, taken_over& out, std::string& why, const run_files& files)
{
    run_manifest recorded;
    if (!read_manifest(files.manifest, recorded, why)) {
        why = "nothing to resume: " + why;
        return false;
    }
    const std::string differences = input_differences(recorded.inputs, now);
    if (!differences.empty()) {
        why = "the run in this folder had other inputs (" + differences + "): start it afresh without resuming";
        return false;
    }
    out.finished.assign(table.size(), 0);
    out.kept = 0;
    for (const journal_row& row : read_journal(files.journal, out.journal_bytes)) {
        if (row.shape < 1 || static_cast<std::size_t>(row.shape) > table.size()) continue;
        // A file cut short (a crash before the system wrote it out) is redone;
        // a run without curves has none to check.
        if (!now.no_curves) {
            std::error_code error;
            const std::string name = lightcurve_file_name(row.shape);
            const auto size = fs::file_size(name, error);
            // A link at its name is not the sweep's file, whatever it leads to.
            if (error || static_cast<int64_t>(size) != row.file_bytes ||
                fs::is_symlink(fs::symlink_status(name, error)))
                continue;
        }
        shape_result& r = table[static_cast<std::size_t>(row.shape - 1)];
        r.misfit = row.misfit;
        r.best_shift = row.best_shift;
        block_fit* fits = block_fits.data() + static_cast<std::size_t>(row.shape - 1) * blocks;
        if (blocks == 1) {
            fits[0] = {row.best_shift, row.misfit};
        } else if (row.blocks.size() == static_cast<std::size_t>(blocks)) {
            std::copy(row.blocks.begin(), row.blocks.end(), fits);
        } else {
            continue;  // a row of another kind of run: redone
        }
        if (!out.finished[static_cast<std::size_t>(row.shape - 1)]) ++out.kept;
        out.finished[static_cast<std::size_t>(row.shape - 1)] = 1;
    }
    return true;
}

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
        const int64_t k = lightcurve_number(it->path().filename().string());
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
