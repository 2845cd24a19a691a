#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "support/pipeline.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// Runs the command line in the working folder with `options`; its exit code.
int morvane(const std::string& options, std::string& out)
{
    return run_command(cli + " --threads 2 " + options, out);
}

// Everything in the folder: each file's content, each folder as "<folder>".
std::map<std::string, std::string> folder_state(const fs::path& dir = ".")
{
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        state[fs::relative(entry.path(), dir).string()] =
            entry.is_directory() ? std::string("<folder>") : read_file(entry.path());
    return state;
}

// The run id a manifest or a journal names ("" for none).
std::string run_id_in(const std::string& text)
{
    const std::size_t json = text.find("\"run_id\": \"");
    if (json != std::string::npos) return text.substr(json + 11, 32);
    return text.rfind("run ", 0) == 0 ? text.substr(4, 32) : "";
}

}  // namespace

// A run Y that stops after its manifest may name it (here: at an obstacle
// in output/) leaves a folder whose resume gives Y's own numbers or
// refuses, never the previous run X's; the previous run's journal rows are
// gone before Y's manifest is written.
TEST(Resume, AResumeNeverReportsAnotherRunsNumbers)
{
    const std::string x = "--path " + data_file("test.zel") + " --subdivisions 2 --step 0.5 --no-curves";
    const std::string y = "--path " + data_file("kleopatra_lc.txt") + " --blocks 0 --subdivisions 2 --step 0.5";
    std::string out;
    scratch_dir fresh;
    ASSERT_EQ(morvane(y + " --no-curves", out), 0) << out;
    const std::string y_table = read_file("output/main.txt");
    ASSERT_EQ(morvane(y, out), 0) << out;
    ASSERT_EQ(read_file("output/main.txt"), y_table);

    const struct {
        const char* name;
        const char* obstacle;  // made a folder before Y starts
        std::string y_options;
        bool y_resumable;  // whether a resume of Y goes ahead
    } cases[] = {
        {"samples.txt a folder, no curves", "output/samples.txt", y + " --no-curves", true},
        {"samples.txt a folder, with curves", "output/samples.txt", y, true},
        {"run.json a folder", "output/run.json", y + " --no-curves", false},
        {"journal.txt a folder", "output/journal.txt", y + " --no-curves", false},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        ASSERT_EQ(morvane(x, out), 0) << out;
        const std::string x_table = read_file("output/main.txt");
        const std::string x_id = run_id_in(read_file("output/run.json"));
        ASSERT_NE(x_table, y_table);
        ASSERT_EQ(x_id.size(), 32u);
        fs::remove(c.obstacle);
        fs::create_directory(c.obstacle);
        EXPECT_NE(morvane(c.y_options, out), 0) << c.name << ":\n" << out;
        // Y got as far as writing its manifest (or failed before it): the
        // journal was made Y's before that, so no row of X is left in it.
        if (std::string(c.obstacle) != "output/journal.txt") {
            const std::string journal = read_file("output/journal.txt");
            EXPECT_NE(run_id_in(journal), x_id) << c.name;
            EXPECT_EQ(journal_rows("output/journal.txt"), 0u) << c.name << ": rows of the previous run";
        }
        fs::remove(c.obstacle);

        const int code = morvane(c.y_options + " --resume", out);
        EXPECT_EQ(code, c.y_resumable ? 0 : 2) << c.name << ":\n" << out;
        if (code == 0) {
            EXPECT_EQ(read_file("output/main.txt"), y_table) << c.name << ": not Y's numbers";
        }
    }
}

// A refusal (exit 2) writes nothing: not the base shape, not the reference
// files, not the lock, whichever input differs from the folder's run.
TEST(Resume, ARefusedRunLeavesTheFolderAsItWas)
{
    const std::string hermione = "--path " + data_file("hermione_lc.txt") + " --spin " + data_file("hermione_spin.txt");
    const std::string run = hermione + " --block 0 --subdivisions 2 --step 0.5";
    scratch_dir dir;
    std::string out;
    fs::create_directory("done");
    ASSERT_EQ(morvane("-C done " + run, out), 0) << out;
    const struct {
        const char* name;
        std::string options;
        std::function<void()> prepare;  // in the copy of the finished folder
        const char* reason;
    } cases[] = {
        {"another observation file", "--path " + data_file("kleopatra_lc.txt") + " --blocks 54 --resume", nullptr,
         "observation_sha256"},
        {"another period", run + " --period 6 --resume", nullptr, "period_hours: 5.55087725 -> 6.0"},
        {"another step", hermione + " --block 0 --subdivisions 2 --step 0.25 --resume", nullptr, "step: 0.5 -> 0.25"},
        {"more subdivisions", hermione + " --block 0 --subdivisions 3 --step 0.5 --resume", nullptr,
         "subdivisions: 2 -> 3"},
        {"another fit", run + " --fit offset --resume", nullptr, "fit: \"range\" -> \"offset\""},
        {"no curves", run + " --no-curves --resume", nullptr, "curves: true -> false"},
        {"a block list for the block", hermione + " --blocks 0 --subdivisions 2 --step 0.5 --resume", nullptr,
         "blocks: null -> \"0\""},
        {"a manifest from before run ids", run + " --resume",
         [] {
             std::string manifest = read_file("output/run.json");
             const std::size_t at = manifest.find("  \"run_id\"");
             if (at != std::string::npos) manifest.erase(at, manifest.find('\n', at) + 1 - at);
             write_file("output/run.json", manifest);
         },
         "names no run id"},
        {"no run to resume", run + " --resume", [] { fs::remove("output/run.json"); }, "nothing to resume"},
        {"the journal a folder", run,
         [] {
             fs::remove("output/journal.txt");
             fs::create_directory("output/journal.txt");
         },
         "output/journal.txt is not a regular file"},
        {"the journal a folder, resuming", run + " --resume",
         [] {
             fs::remove("output/journal.txt");
             fs::create_directory("output/journal.txt");
         },
         "output/journal.txt is not a regular file"},
    };
    for (const auto& c : cases) {
        fs::remove_all("case");
        fs::copy("done", "case", fs::copy_options::recursive);
        fs::remove("case/morvane.lock");  // a new file would show
        fs::current_path("case");
        if (c.prepare) c.prepare();
        const auto before = folder_state();
        EXPECT_EQ(morvane(c.options, out), 2) << c.name << ":\n" << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << c.name << ":\n" << out;
        EXPECT_TRUE(folder_state() == before) << c.name << ": the folder changed";
        fs::current_path(dir.path());
    }
}

// A resume reads back every journalled lightcurve file: a file of the same
// size but other bytes is computed again, the others are kept.
TEST(Resume, AJournalledFileIsKeptOnlyWithItsBytes)
{
    const std::string run = "--path " + data_file("test.zel") + " --subdivisions 2 --step 0.5";
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(morvane(run, out), 0) << out;
    const auto finished = folder_state("output");
    ASSERT_EQ(morvane(run + " --resume", out), 0) << out;
    EXPECT_NE(read_file("output/run.json").find("\"resumed_shapes\": 12,"), std::string::npos);
    std::string noise(finished.at("00005.lc.txt").size(), '\0');
    std::mt19937 random(5);
    for (char& c : noise) c = static_cast<char>('0' + random() % 10);
    write_file("output/00005.lc.txt", noise);
    ASSERT_EQ(morvane(run + " --resume", out), 0) << out;
    EXPECT_NE(read_file("output/run.json").find("\"resumed_shapes\": 11,"), std::string::npos)
        << read_file("output/run.json");
    EXPECT_EQ(read_file("output/00005.lc.txt"), finished.at("00005.lc.txt"));
    const auto resumed = folder_state("output");
    for (const auto& [name, text] : finished)
        if (name != "run.json" && name != "journal.txt") {
            EXPECT_EQ(resumed.at(name), text) << name;
        }
}
