#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/sha256.hpp"
#include "lightcurve/sample_file.hpp"
#include "runs/run_checks.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_lock.hpp"
#include "runs/run_manifest.hpp"
#include "runs/shard_merge.hpp"
#include "runs/spin_file.hpp"
#include "runs/summary_table.hpp"
#include "support/planted.hpp"
#include "support/scratch_dir.hpp"
#include "sweep/sweep_journal.hpp"

namespace fs = std::filesystem;

namespace {

// A test that blocks (a FIFO opened for good) ends here instead of hanging.
struct blocking_guard {
    blocking_guard() { alarm(60); }
    ~blocking_guard() { alarm(0); }
};

}  // namespace

// The lock file is taken only as a regular file of the folder: whatever
// else is at its name is a refusal (not "another run"), and the pid is
// never written through a link. Only a live holder makes it busy.
TEST(FolderLock, OnlyALiveHolderIsBusyAndNothingOutsideIsWritten)
{
    blocking_guard guard;
    const struct {
        planted what;
        const char* refusal;  // "" when taken
    } cases[] = {
        {planted::nothing, ""},
        {planted::regular, ""},  // left by an earlier run: taken over
        {planted::folder, "cannot create morvane.lock: Is a directory"},
        {planted::link_to_file, "morvane.lock: a symbolic link (never written through)"},
        {planted::dangling_link, "morvane.lock: a symbolic link (never written through)"},
        {planted::fifo, "morvane.lock: not a regular file"},
        {planted::device, "morvane.lock: not a regular file"},
        {planted::hard_link, "morvane.lock: it has other names (hard links; never written through)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(planted_name(c.what));
        scratch_dir dir;
        write_file("outside.txt", "outside\n");
        const bool to_outside = c.what == planted::link_to_file || c.what == planted::hard_link;
        if (!plant(c.what, run_lock_file, to_outside ? "outside.txt" : "target")) continue;
        folder_lock lock;
        std::string why;
        const bool taken = lock.acquire(why);
        EXPECT_EQ(taken, std::string(c.refusal).empty());
        EXPECT_EQ(why, c.refusal);
        EXPECT_FALSE(lock.busy());
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
        EXPECT_EQ(file_kind("target"), "nothing");
        if (!taken) continue;
        EXPECT_EQ(read_file(run_lock_file), std::to_string(getpid()) + "\n");
        // Held: a second taker is told so, with the holder's pid.
        folder_lock other;
        EXPECT_FALSE(other.acquire(why));
        EXPECT_TRUE(other.busy());
        EXPECT_EQ(why, "another run (pid " + std::to_string(getpid()) +
                           ") holds this folder: wait for it to end, or cancel it");
    }
}

// The journal is appended where it is: a link or a special file at its
// name is refused, and what a link leads to keeps its bytes.
TEST(Journal, IsNeverOpenedThroughALinkOrASpecialFile)
{
    blocking_guard guard;
    const struct {
        planted what;
        const char* refusal;
    } cases[] = {
        {planted::nothing, ""},
        {planted::link_to_file, "output/journal.txt: a symbolic link (never written through)"},
        {planted::fifo, "output/journal.txt: not a regular file"},
        {planted::hard_link, "output/journal.txt: it has other names (hard links; never written through)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(planted_name(c.what));
        scratch_dir dir;
        fs::create_directory("output");
        write_file("outside.txt", "outside\n");
        // A symbolic link's target is read from its folder, a hard link's from here.
        if (!plant(c.what, journal_file, c.what == planted::hard_link ? "outside.txt" : "../outside.txt")) continue;
        sweep_journal journal;
        std::string why;
        EXPECT_EQ(journal.open(journal_file, why), std::string(c.refusal).empty());
        EXPECT_EQ(why, c.refusal);
        const journal_row row{1, 0.5, 0.25, 10, 0, {}};
        if (why.empty()) {
            EXPECT_TRUE(journal.start("00112233445566778899aabbccddeeff", 0, why)) << why;
            EXPECT_TRUE(journal.append(&row, 1, why)) << why;
        }
        journal.close();
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
    }
}

// A run's cleanup removes the links at lightcurve names (a sweep writes its
// own files there), never what they lead to, and the temporaries a stopped
// run left of the files this run writes alone; folders and FIFOs
// are left for the writer to refuse, and a shard touches only its shapes.
TEST(ClearRunFolder, RemovesLinksAtLightcurveNamesAndStaleTemporariesOfItsOwnFiles)
{
    const struct {
        const char* name;
        planted what;
        bool removed;       // by a whole run
        bool removed_by_1;  // by shard 1, which owns shapes 1 to 3
    } cases[] = {
        {"output/00001.lc.txt", planted::regular, true, true},
        {"output/00002.lc.txt", planted::link_to_file, true, true},
        {"output/00003.lc.txt", planted::dangling_link, true, true},
        {"output/00004.lc.txt", planted::link_to_file, true, false},
        {"output/00005.lc.txt", planted::folder, false, false},
        {"output/00006.lc.txt", planted::fifo, false, false},
        {"output/00099.lc.txt", planted::link_to_file, true, false},  // above the grid
        {"output/notes.txt", planted::link_to_file, false, false},    // not a lightcurve name
        // Temporaries a stopped run left: of the files this run alone writes.
        {"output/00001.lc.txt.part-123-0123456789abcdef", planted::regular, true, true},
        {"output/00004.lc.txt.part-123-0123456789abcdef", planted::regular, true, false},
        {"output/run.json.part-9-ffffffffffffffff", planted::regular, true, false},
        {"output/run.shard-1-of-2.json.part-9-ffffffffffffffff", planted::link_to_file, false, true},
        {"output/run.shard-2-of-2.json.part-9-ffffffffffffffff", planted::regular, false, false},
        {"output/main.txt.part-77-00000000000000aa", planted::regular, true, false},
        {"output/samples.txt.part-77-00000000000000aa", planted::regular, true, false},  // every shard writes it
        {"output/best.obj.part-77-00000000000000aa", planted::dangling_link, true, false},
        {"output/main.txt.part-77-00000000000000a", planted::regular, false, false},  // not a temporary's name
        {"output/main.txt.part-x-00000000000000aa", planted::regular, false, false},
        {"output/main.txt.part-77-00000000000000aa.old", planted::regular, false, false},
        {"output/main.txt.part-77-00000000000000ab", planted::folder, false, false},
    };
    for (bool shard : {false, true}) {
        SCOPED_TRACE(shard ? "shard 1" : "whole run");
        scratch_dir dir;
        fs::create_directory("output");
        write_file("outside.txt", "outside\n");
        for (const auto& c : cases)
            ASSERT_TRUE(plant(c.what, c.name, c.what == planted::link_to_file ? "../outside.txt" : "gone"));
        const std::vector<uint8_t> none(6, 0), own = {1, 1, 1, 0, 0, 0};
        std::string why;
        ASSERT_TRUE(clear_run_folder(none, why, shard ? files_of_shard(1, 2) : run_files{},
                                     shard ? own : std::vector<uint8_t>{}))
            << why;
        for (const auto& c : cases) {
            EXPECT_EQ(file_kind(c.name) == "nothing", shard ? c.removed_by_1 : c.removed) << c.name;
        }
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
    }
}

// The check of output/ before anything is written makes nothing and removes
// nothing; only the sweep's own check makes the folder. Checks running at
// once (shards started together) never take the folder from each other.
TEST(OutputFolderCheck, MakesNothingBeforeTheSweepAndNeverRemovesAFolder)
{
    scratch_dir dir;
    std::string why;
    EXPECT_TRUE(check_output_folder(false, why)) << why;
    EXPECT_FALSE(fs::exists("output"));
    EXPECT_EQ(names_starting(".", ".morvane-probe"), std::vector<std::string>{});
    EXPECT_TRUE(check_output_folder(true, why)) << why;
    EXPECT_TRUE(fs::is_directory("output"));
    EXPECT_TRUE(check_output_folder(true, why)) << why;  // made already: as good
    EXPECT_TRUE(check_output_folder(false, why)) << why;
    EXPECT_TRUE(fs::is_directory("output"));
    EXPECT_EQ(names_starting("output", ".morvane-probe"), std::vector<std::string>{});

    fs::remove("output");
    write_file("output", "a file where the folder goes\n");
    for (bool make : {false, true}) {
        EXPECT_FALSE(check_output_folder(make, why));
        EXPECT_EQ(why, "cannot create the directory output in the working directory");
    }
    fs::remove("output");

    // Four processes' checks at once, the folder missing: none makes it, so
    // none can take it from another.
    std::atomic<int> failures{0};
    std::vector<std::thread> checks;
    for (int t = 0; t < 4; ++t)
        checks.emplace_back([&failures] {
            for (int i = 0; i < 500; ++i) {
                std::string reason;
                if (!check_output_folder(false, reason)) ++failures;
            }
        });
    for (std::thread& t : checks) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(fs::exists("output"));
}

// Every reader of a run folder's files, given a FIFO (or a folder) where a
// file belongs, returns at once; those that say why say it is not a regular
// file.
TEST(RunFolderReaders, SpecialFilesAreRefusedAtOnce)
{
    blocking_guard guard;
    const struct {
        const char* name;
        std::function<std::string(const std::string&)> read;  // the reason given, "" when none
    } readers[] = {
        {"the manifest",
         [](const std::string& path) {
             run_manifest m;
             std::string why;
             EXPECT_FALSE(read_manifest(path, m, why));
             return why;
         }},
        {"the spin file",
         [](const std::string& path) {
             std::string words[5], why;
             EXPECT_FALSE(read_spin_words(path, words, why));
             return why;
         }},
        {"the samples file",
         [](const std::string& path) {
             ref_curve reference;
             obs_set observations;
             std::string why;
             EXPECT_FALSE(read_sample_file(path, reference, observations, why));
             return why;
         }},
        {"the observation file's digest",
         [](const std::string& path) {
             std::string why;
             EXPECT_EQ(sha256_of_file(path, why), "");
             return why;
         }},
        {"the summary table",
         [](const std::string& path) {
             std::vector<summary_row> rows;
             std::string why;
             EXPECT_FALSE(read_summary(path, 1, rows, why));
             return why;
         }},
        {"the journal",
         [](const std::string& path) {
             const journal_contents read = read_journal(path);
             EXPECT_TRUE(read.rows.empty());
             EXPECT_EQ(read.valid_bytes, 0);
             return std::string();
         }},
    };
    for (planted what : {planted::fifo, planted::folder, planted::device}) {
        for (const auto& r : readers) {
            SCOPED_TRACE(std::string(r.name) + ", " + planted_name(what));
            scratch_dir dir;
            if (!plant(what, "special", "")) continue;
            const std::string why = r.read("special");
            if (!why.empty()) {
                EXPECT_NE(why.find("special: not a regular file"), std::string::npos) << why;
            }
        }
    }
    // A shard's manifest that is a FIFO: the merge refuses, it does not wait.
    scratch_dir dir;
    fs::create_directory("output");
    ASSERT_TRUE(plant(planted::fifo, "output/run.shard-1-of-1.json"));
    const merge_outcome merged = merge_shards();
    EXPECT_FALSE(merged.done);
    EXPECT_FALSE(fs::exists("output/main.txt"));
}
