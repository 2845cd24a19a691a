#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "runs/run_lock.hpp"
#include "support/pipeline.hpp"
#include "support/planted.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// A sweep of the 12 shapes of step 0.5 at n = 2 on data/test.zel.
const std::string sweep = cli + " --path " + data_file("test.zel") + " --subdivisions 2 --step 0.5 --threads 1";

// CPU seconds used so far by the children this process has waited for: a
// refusal before any work uses a few milliseconds, whatever the machine's load.
double children_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// How many times `part` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

// export and synth write their --output through a temporary renamed over
// it: a regular file (or a link, replaced itself) is replaced; a FIFO, a
// device, a folder, or a link to one, is refused before any work and left
// as it was (as root, `--output /dev/null` would otherwise replace the
// system's device).
TEST(Files, ExportAndSynthNeverReplaceASpecialFile)
{
    const struct {
        const char* command;
        const char* options;
    } commands[] = {
        {"export", "--shape 3 --subdivisions 1 --step 0.5"},
        {"synth", "--subdivisions 1 --points 50"},
    };
    const struct {
        planted what;
        bool written;
    } destinations[] = {
        {planted::nothing, true},       {planted::regular, true},         {planted::link_to_file, true},
        {planted::fifo, false},         {planted::device, false},         {planted::folder, false},
        {planted::link_to_fifo, false}, {planted::link_to_device, false},
    };
    for (const auto& c : commands) {
        for (const auto& d : destinations) {
            SCOPED_TRACE(std::string(c.command) + " onto " + planted_name(d.what));
            scratch_dir dir;
            write_file("outside.txt", "outside\n");
            if (!plant(d.what, "dest", d.what == planted::link_to_file ? "outside.txt" : "target")) continue;
            const std::string kind = file_kind("dest");
            std::string out;
            const double cpu = children_cpu_seconds();
            const int code =
                run_command("timeout 60 " + cli + " " + c.command + " " + c.options + " --output dest", out);
            EXPECT_EQ(read_file("outside.txt"), "outside\n");
            if (d.written) {
                EXPECT_EQ(code, 0) << out;
                EXPECT_EQ(file_kind("dest"), "regular");
                EXPECT_GT(fs::file_size("dest"), 1000u);
                continue;
            }
            EXPECT_EQ(code, 2) << out;
            EXPECT_NE(out.find("dest: not a regular file"), std::string::npos) << out;
            EXPECT_EQ(file_kind("dest"), kind);
            EXPECT_LT(children_cpu_seconds() - cpu, 0.5);
        }
    }
}

// A link planted at any name a sweep writes (its files, their old fixed
// temporary names, the journal, the lock) never carries the write out of
// the folder: the file it leads to keeps its bytes. The run either
// completes with its own regular files or is refused, saying why.
TEST(Files, PlantedLinksAreNeverWrittenThrough)
{
    const struct {
        const char* name;
        int code;
        const char* refusal;
    } cases[] = {
        {"output/00003.lc.txt", 0, ""},
        {"output/main.txt", 0, ""},
        {"output/best.obj", 0, ""},
        {"basic_shape_2.obj", 0, ""},
        {"output/main.txt.part", 0, ""},
        {"output/run.json.part", 0, ""},
        {"output/samples.txt.part", 0, ""},
        {"output/best.obj.part", 0, ""},
        {"basic_shape_2.obj.part", 0, ""},
        {"ref_lc.txt.part", 0, ""},
        {"ref_lc_interpolated.txt.part", 0, ""},
        {"output/journal.txt", 2, "output/journal.txt: a symbolic link (never written through)"},
        {"morvane.lock", 2, "morvane.lock: a symbolic link (never written through)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        fs::create_directory("output");
        write_file("outside.txt", "outside\n");
        ASSERT_TRUE(plant(planted::link_to_file, c.name, fs::absolute("outside.txt").string()));
        std::string out;
        EXPECT_EQ(run_command(sweep, out), c.code) << out;
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
        if (c.code == 0) {
            const std::string name = c.name;
            // A file the run writes is its own regular file now.
            if (name.find(".part") == std::string::npos) {
                EXPECT_EQ(file_kind(name), "regular");
            }
            EXPECT_EQ(file_kind("output/main.txt"), "regular");
            EXPECT_EQ(read_lines("output/main.txt").size(), 12u);
        } else {
            EXPECT_NE(out.find(c.refusal), std::string::npos) << out;
            EXPECT_EQ(occurrences(out, c.refusal), 1u) << out;
        }
    }

    // A second name (a hard link) of an outside file at a lightcurve's name:
    // the cleanup removes the name, the sweep writes a file of its own.
    scratch_dir dir;
    fs::create_directory("output");
    write_file("outside.txt", "outside\n");
    ASSERT_TRUE(plant(planted::hard_link, "output/00003.lc.txt", "outside.txt"));
    std::string out;
    EXPECT_EQ(run_command(sweep, out), 0) << out;
    EXPECT_EQ(read_file("outside.txt"), "outside\n");
    EXPECT_EQ(read_lines("output/00003.lc.txt").size(), 150u);
}

// The lock's refusal is printed once. Exit 3 means another live run holds
// the folder; a lock file that cannot be made or used is a refusal, 2.
TEST(Files, OnlyALiveHolderOfTheLockGivesExitThree)
{
    const struct {
        planted what;
        bool held;
        int code;
        const char* reason;
    } cases[] = {
        {planted::folder, false, 2, "cannot create morvane.lock: Is a directory"},
        {planted::fifo, false, 2, "morvane.lock: not a regular file"},
        {planted::nothing, true, 3, "another run (pid "},
    };
    for (const std::string& command : {sweep, cli + " merge"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(command + ": " + planted_name(c.what));
            scratch_dir dir;
            ASSERT_TRUE(plant(c.what, run_lock_file));
            folder_lock holder;
            std::string why;
            if (c.held) {
                ASSERT_TRUE(holder.acquire(why)) << why;
            }
            std::string out;
            EXPECT_EQ(run_command("timeout 60 " + command, out), c.code) << out;
            EXPECT_EQ(occurrences(out, c.reason), 1u) << out;
            EXPECT_FALSE(fs::exists("output/run.json"));
        }
    }
}

// Every file read is read only as a regular file: a FIFO (or a folder) where
// the spin file, the manifest or a shard's manifest belongs is refused at
// once, never waited on.
TEST(Files, SpecialInputsAreRefusedAtOnce)
{
    const struct {
        const char* name;
        const char* plant_at;
        std::string command;
        const char* reason;
    } cases[] = {
        {"--spin a FIFO", "spin.txt", sweep + " --until load --spin spin.txt", "--spin spin.txt: not a regular file"},
        {"--spin a folder", "spin.txt", sweep + " --until load --spin spin.txt", "spin.txt: not a regular file"},
        {"--path a FIFO", "obs.zel", cli + " --until load --path obs.zel", "obs.zel: not a regular file"},
        {"export's manifest", "output/run.json", cli + " export --shape 1", "output/run.json: not a regular file"},
        {"the manifest to resume", "output/run.json", sweep + " --resume", "output/run.json: not a regular file"},
        {"a shard's manifest", "output/run.shard-1-of-1.json", cli + " merge",
         "output/run.shard-1-of-1.json: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        fs::create_directory("output");
        const bool folder = std::string(c.name).find("folder") != std::string::npos;
        ASSERT_TRUE(plant(folder ? planted::folder : planted::fifo, c.plant_at));
        std::string out;
        // 124 would be the timeout ending a blocked read.
        EXPECT_EQ(run_command("timeout 60 " + c.command, out), 2) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
    }
}
