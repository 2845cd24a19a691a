#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/fnv1a.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"
#include "support/scratch_dir.hpp"
#include "sweep/eval_shape.hpp"

namespace fs = std::filesystem;

namespace {

const std::string own_run = "00112233445566778899aabbccddeeff";

// A folder of an interrupted run of a 4-shape grid: the manifest, three
// journalled shapes (1 to 3) and their lightcurve files.
struct interrupted_run {
    run_manifest manifest;
    std::string journal_id = own_run;
    std::vector<journal_row> rows;
    int32_t blocks = 1;

    interrupted_run()
    {
        manifest.inputs.observation_file = "test.zel";
        manifest.inputs.observation_sha256 = std::string(64, 'a');
        manifest.inputs.period_hours = 21.9;
        manifest.inputs.step = 0.5;
        manifest.inputs.subdivisions = 2;
        manifest.run_id = own_run;
        manifest.threads = 1;
        manifest.sweep_path = "fast";
        manifest.version = "0.1";
        manifest.shapes = 12;  // the grid of step 0.5, as the reader checks
        manifest.progress_steps = 3;
        manifest.started = "2024-01-01T00:00:00Z";
        manifest.status = "running";
        fs::create_directory("output");
        for (int32_t k = 1; k <= 3; ++k) {
            const std::string text = "2440000.5 0.1" + std::to_string(k) + "\n2440001.5 0.2" + std::to_string(k) + "\n";
            write_file(lightcurve_file_name(k), text);
            rows.push_back(
                {k, 0.1 * k, 0.5, static_cast<int64_t>(text.size()), fnv1a(fnv1a_start, text.data(), text.size()), {}});
        }
    }
    // Writes the manifest and the journal as they stand.
    void write() const
    {
        std::string why;
        ASSERT_TRUE(write_manifest(manifest_file, manifest, why)) << why;
        sweep_journal journal;
        ASSERT_TRUE(journal.open(journal_file, why)) << why;
        ASSERT_TRUE(journal.start(journal_id, 0, why)) << why;
        ASSERT_TRUE(journal.append(rows.data(), rows.size(), why)) << why;
    }
};

// The shapes of the 4-shape grid that a resume keeps, in order.
std::vector<int32_t> kept_shapes(const taken_over& out)
{
    std::vector<int32_t> kept;
    for (std::size_t i = 0; i < out.finished.size(); ++i)
        if (out.finished[i]) kept.push_back(static_cast<int32_t>(i + 1));
    return kept;
}

}  // namespace

// Each case alters the interrupted run, then resumes it with its own inputs:
// only the run's own rows, sound and with their files whole, are kept.
TEST(RunFolder, AResumeKeepsOnlyItsOwnRunsSoundRows)
{
    const std::vector<int32_t> all = {1, 2, 3}, none = {}, not_2 = {1, 3};
    const struct {
        const char* name;
        std::function<void(interrupted_run&)> alter;  // before the files are written
        std::function<void()> after;                  // once they are
        std::vector<int32_t> kept;
        const char* refusal;  // "" when the resume goes ahead
        const char* note;     // what it says of the journal ("" when it is the run's)
    } cases[] = {
        {"the run's own journal", nullptr, nullptr, all, "", ""},
        {"another run's journal", [](interrupted_run& r) { r.journal_id = "ffeeddccbbaa99887766554433221100"; },
         nullptr, none, "", "belongs to run ffeeddccbbaa99887766554433221100"},
        {"a journal without a run id", nullptr,
         [] { write_file(journal_file, "1 3fb999999999999a 3fe0000000000000 26\n"); }, none, "", "names no run"},
        {"no journal", nullptr, [] { fs::remove(journal_file); }, none, "", "is missing"},
        {"a NaN misfit", [](interrupted_run& r) { r.rows[1].misfit = std::nan(""); }, nullptr, not_2, "", ""},
        {"an infinite misfit", [](interrupted_run& r) { r.rows[1].misfit = -INFINITY; }, nullptr, not_2, "", ""},
        {"a shift past 1", [](interrupted_run& r) { r.rows[1].best_shift = 1.5; }, nullptr, not_2, "", ""},
        {"a shape past the grid",
         [](interrupted_run& r) {
             r.rows.push_back(r.rows[0]);
             r.rows.back().shape = 5;
         },
         nullptr, all, "", ""},
        {"a file of random bytes of the same size", nullptr,
         [] {
             std::mt19937 random(7);
             std::string noise(read_file(lightcurve_file_name(2)).size(), '\0');
             for (char& c : noise) c = static_cast<char>(random());
             write_file(lightcurve_file_name(2), noise);
         },
         not_2, "", ""},
        {"a file with one digit changed", nullptr,
         [] {
             std::string text = read_file(lightcurve_file_name(2));
             text[text.size() - 2] = '9';
             write_file(lightcurve_file_name(2), text);
         },
         not_2, "", ""},
        {"a file cut short", nullptr,
         [] { fs::resize_file(lightcurve_file_name(2), fs::file_size(lightcurve_file_name(2)) - 1); }, not_2, "", ""},
        {"a file gone", nullptr, [] { fs::remove(lightcurve_file_name(2)); }, not_2, "", ""},
        {"a folder in a file's place", nullptr,
         [] {
             fs::remove(lightcurve_file_name(2));
             fs::create_directory(lightcurve_file_name(2));
         },
         not_2, "", ""},
        {"no curves to check",
         [](interrupted_run& r) {
             r.manifest.inputs.no_curves = true;
             for (journal_row& row : r.rows) row.file_bytes = row.file_checksum = 0;
         },
         [] { fs::remove(lightcurve_file_name(2)); }, all, "", ""},
        {"a joint fit's rows, one with a block too few",
         [](interrupted_run& r) {
             r.blocks = 2;
             for (journal_row& row : r.rows) row.blocks = {{0.5, 0.1}, {0.5, 0.1}};
             r.rows[1].blocks.pop_back();
         },
         nullptr, not_2, "", ""},
        {"a joint fit's row with a block's NaN misfit",
         [](interrupted_run& r) {
             r.blocks = 2;
             for (journal_row& row : r.rows) row.blocks = {{0.5, 0.1}, {0.5, 0.1}};
             r.rows[1].blocks[1].misfit = std::nan("");
         },
         nullptr, not_2, "", ""},
        {"a manifest of a version before run ids", [](interrupted_run& r) { r.manifest.run_id.clear(); }, nullptr, none,
         "names no run id", ""},
        {"other inputs", [](interrupted_run& r) { r.manifest.inputs.subdivisions = 3; }, nullptr, none,
         "other inputs (subdivisions: 3 -> 2)", ""},
        {"no manifest", nullptr, [] { fs::remove(manifest_file); }, none, "nothing to resume", ""},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        interrupted_run run;
        const run_inputs now = run.manifest.inputs;
        if (c.alter) c.alter(run);
        // The case's inputs are the ones a resume compares with.
        run_inputs asked = now;
        asked.no_curves = run.manifest.inputs.no_curves;
        run.write();
        if (c.after) c.after();
        std::vector<shape_result> table(4);
        std::vector<block_fit> fits(4 * static_cast<std::size_t>(run.blocks));
        taken_over out;
        std::string why;
        const bool resumed = take_over_run(asked, table, fits, run.blocks, out, why);
        if (*c.refusal) {
            EXPECT_FALSE(resumed) << c.name;
            EXPECT_NE(why.find(c.refusal), std::string::npos) << c.name << ": " << why;
            // The same refusal as the checks before any step give.
            run_manifest recorded;
            std::string early;
            EXPECT_FALSE(check_resumable(asked, recorded, early)) << c.name;
            EXPECT_EQ(early, why) << c.name;
            continue;
        }
        ASSERT_TRUE(resumed) << c.name << ": " << why;
        EXPECT_EQ(kept_shapes(out), c.kept) << c.name;
        EXPECT_EQ(out.kept, static_cast<int64_t>(c.kept.size())) << c.name;
        EXPECT_EQ(out.run_id, own_run) << c.name;
        if (*c.note) {
            EXPECT_NE(out.note.find(c.note), std::string::npos) << c.name << ": " << out.note;
            EXPECT_EQ(out.journal_bytes, 0) << c.name;  // started afresh
        } else {
            EXPECT_EQ(out.note, "") << c.name;
            EXPECT_EQ(out.journal_bytes, static_cast<int64_t>(fs::file_size(journal_file))) << c.name;
        }
        for (int32_t k : c.kept) {
            EXPECT_EQ(table[static_cast<std::size_t>(k - 1)].misfit, 0.1 * k) << c.name;
            EXPECT_EQ(fits[static_cast<std::size_t>(k - 1) * run.blocks].best_shift, 0.5) << c.name;
        }
    }
}

TEST(RunFolder, TheJournalsPathIsCheckedBeforeAnythingIsRemoved)
{
    const struct {
        const char* name;
        std::function<void()> make;
        bool usable;
    } cases[] = {
        {"missing", [] {}, true},
        {"a file", [] { write_file(journal_file, "run " + own_run + "\n"); }, true},
        {"a folder", [] { fs::create_directory(journal_file); }, false},
        {"a FIFO", [] { mkfifo(journal_file, 0600); }, false},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        fs::create_directory("output");
        c.make();
        std::string why;
        EXPECT_EQ(check_journal_path({}, why), c.usable) << c.name;
        if (!c.usable) {
            EXPECT_NE(why.find("output/journal.txt is not a regular file"), std::string::npos) << why;
        }
    }
}
