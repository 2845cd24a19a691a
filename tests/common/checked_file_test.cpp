#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "support/planted.hpp"
#include "support/scratch_dir.hpp"

namespace {

// A test that blocks (a FIFO opened for good) ends here instead of hanging.
struct blocking_guard {
    blocking_guard() { alarm(60); }
    ~blocking_guard() { alarm(0); }
};

// Writes "new\n" to `path` as a replacing checked_file; whether it was kept.
bool replace_with_new(const std::string& path, std::string& why, link_rule links = link_rule::replace)
{
    if (!check_destination(path, why, links)) return false;
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.printf("new\n");
        out.close();
    }
    why = out.error();
    return why.empty();
}

}  // namespace

// Whatever stands at a destination, the file renamed there never replaces a
// FIFO or a device and never writes through a link: the file the link leads
// to keeps its bytes.
TEST(CheckedFile, ReplacingNeverReplacesASpecialFileNorWritesThroughALink)
{
    blocking_guard guard;
    const struct {
        planted what;
        bool written;          // a regular file with the new content is there after
        const char* refusal;   // otherwise the reason says this
        bool refused_as_link;  // link_rule::refuse turns it down
    } cases[] = {
        {planted::nothing, true, "", false},
        {planted::regular, true, "", false},
        {planted::link_to_file, true, "", true},
        {planted::dangling_link, true, "", true},
        {planted::fifo, false, "dest: not a regular file", false},
        {planted::device, false, "dest: not a regular file", false},
        {planted::folder, false, "dest: not a regular file", false},
        {planted::link_to_fifo, false, "dest: not a regular file", true},
        {planted::link_to_device, false, "dest: not a regular file", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(planted_name(c.what));
        scratch_dir dir;
        write_file("outside.txt", "outside\n");
        const std::string target = c.what == planted::link_to_file ? "outside.txt" : "target";
        if (!plant(c.what, "dest", target)) {
            std::printf("skipped: %s cannot be made here\n", planted_name(c.what));
            continue;
        }
        const std::string kind_before = file_kind("dest");
        std::string why;
        EXPECT_EQ(replace_with_new("dest", why), c.written) << why;
        if (c.written) {
            EXPECT_EQ(file_kind("dest"), "regular");
            EXPECT_EQ(read_file("dest"), "new\n");
        } else {
            EXPECT_EQ(why, c.refusal);
            EXPECT_EQ(file_kind("dest"), kind_before);
        }
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
        EXPECT_EQ(file_kind("target"), c.what == planted::link_to_fifo     ? "fifo"
                                       : c.what == planted::link_to_device ? "device"
                                                                           : "nothing");
        EXPECT_EQ(names_starting(".", "dest.part"), std::vector<std::string>{});

        // Where links are refused, a link is left as it was.
        if (c.refused_as_link && c.what != planted::link_to_fifo && c.what != planted::link_to_device) {
            scratch_dir again;
            write_file("outside.txt", "outside\n");
            plant(c.what, "dest", target);
            EXPECT_FALSE(replace_with_new("dest", why, link_rule::refuse));
            EXPECT_EQ(why, "dest: a symbolic link (never written through)");
            EXPECT_EQ(file_kind("dest"), "link");
            EXPECT_EQ(read_file("outside.txt"), "outside\n");
        }
    }
}

// A file written where it is (a lightcurve, the journal, the lock) is
// refused at a link, a FIFO, a device or a second name of another file, and
// nothing outside is touched; the refusal comes at once, never blocked.
TEST(CheckedFile, InPlaceRefusesLinksSpecialFilesAndHardLinks)
{
    blocking_guard guard;
    const struct {
        planted what;
        const char* refusal;  // "" when written
    } cases[] = {
        {planted::nothing, ""},
        {planted::regular, ""},
        {planted::link_to_file, "dest: a symbolic link (never written through)"},
        {planted::dangling_link, "dest: a symbolic link (never written through)"},
        {planted::link_to_fifo, "dest: a symbolic link (never written through)"},
        {planted::fifo, "dest: not a regular file"},
        {planted::device, "dest: not a regular file"},
        {planted::hard_link, "dest: it has other names (hard links; never written through)"},
        {planted::folder, "cannot create dest: Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(planted_name(c.what));
        scratch_dir dir;
        write_file("outside.txt", "outside\n");
        const bool to_outside = c.what == planted::link_to_file || c.what == planted::hard_link;
        if (!plant(c.what, "dest", to_outside ? "outside.txt" : "target")) {
            std::printf("skipped: %s cannot be made here\n", planted_name(c.what));
            continue;
        }
        checked_file out;
        const bool opened = out.open("dest");
        EXPECT_EQ(opened, std::string(c.refusal).empty());
        EXPECT_EQ(out.error(), c.refusal);
        if (opened) {
            out.printf("new\n");
            EXPECT_TRUE(out.close()) << out.error();
            EXPECT_EQ(read_file("dest"), "new\n");
        }
        EXPECT_EQ(read_file("outside.txt"), "outside\n");
        // A dangling link's target is not created through it.
        if (c.what == planted::dangling_link) {
            EXPECT_EQ(file_kind("target"), "nothing");
        }
    }
}

// Processes that write the same file at once each write their own
// temporary: both succeed and the file is whole. A temporary left by a
// killed run, or a link at the old fixed temporary name, changes nothing.
TEST(CheckedFile, TemporariesAreUniqueToTheWriter)
{
    scratch_dir dir;
    write_file("outside.txt", "outside\n");
    plant(planted::link_to_file, "shared.txt.part", "outside.txt");
    write_file("shared.txt.part-1-0000000000000000", "stale\n");

    checked_file first, second;
    ASSERT_TRUE(first.open("shared.txt", checked_file::placement::replacing)) << first.error();
    ASSERT_TRUE(second.open("shared.txt", checked_file::placement::replacing)) << second.error();
    const std::vector<std::string> open_now = names_starting(".", "shared.txt.part-" + std::to_string(getpid()) + "-");
    ASSERT_EQ(open_now.size(), 2u);
    EXPECT_EQ(open_now[0].size(), std::string("shared.txt.part-").size() + std::to_string(getpid()).size() + 17);
    first.printf("first\n");
    second.printf("second\n");
    EXPECT_TRUE(first.close()) << first.error();
    EXPECT_TRUE(second.close()) << second.error();
    EXPECT_EQ(read_file("shared.txt"), "second\n");
    EXPECT_EQ(read_file("outside.txt"), "outside\n");
    EXPECT_EQ(names_starting(".", "shared.txt.part"),
              (std::vector<std::string>{"shared.txt.part", "shared.txt.part-1-0000000000000000"}));

    // Discarded, a temporary leaves nothing.
    checked_file third;
    ASSERT_TRUE(third.open("shared.txt", checked_file::placement::replacing));
    third.discard();
    EXPECT_EQ(names_starting(".", "shared.txt.part-" + std::to_string(getpid())), std::vector<std::string>{});
    EXPECT_EQ(read_file("shared.txt"), "second\n");
}

// A write that fails (here past the file size limit, as a full disk would)
// names the file; a replaced file keeps its previous content and no
// temporary is left.
TEST(CheckedFile, AFailedWriteNamesTheFileAndKeepsThePreviousOne)
{
    const struct {
        checked_file::placement where;
        const char* reason;
    } cases[] = {
        {checked_file::placement::replacing, "cannot write kept.txt: File too large"},
        {checked_file::placement::in_place, "cannot write kept.txt: File too large"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file("kept.txt", "earlier\n");
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The limit applies to this child alone.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            setrlimit(RLIMIT_FSIZE, &limit);
            checked_file out;
            if (out.open("kept.txt", c.where)) {
                for (int i = 0; i < 100; ++i) out.printf("%060d\n", i);
                out.close();
            }
            const std::string said = out.error();
            if (write(channel[1], said.data(), said.size()) < 0) _exit(2);
            _exit(0);
        }
        close(channel[1]);
        char text[256] = {};
        const ssize_t got = read(channel[0], text, sizeof text - 1);
        close(channel[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0), c.reason);
        if (c.where == checked_file::placement::replacing) {
            EXPECT_EQ(read_file("kept.txt"), "earlier\n");
        }
        EXPECT_EQ(names_starting(".", "kept.txt.part"), std::vector<std::string>{});
    }
}

// Every reader opens through one check: a regular file (through a link too)
// is read, anything else is refused at once with the same reason, whichever
// form the reader takes.
TEST(InputFile, OnlyARegularFileIsReadAndNothingBlocks)
{
    blocking_guard guard;
    const struct {
        planted what;
        const char* refusal;  // "" when read
        bool missing;
    } cases[] = {
        {planted::regular, "", false},
        {planted::link_to_file, "", false},
        {planted::nothing, "input: No such file or directory", true},
        {planted::dangling_link, "input: No such file or directory", true},
        {planted::folder, "input: not a regular file", false},
        {planted::fifo, "input: not a regular file", false},
        {planted::link_to_fifo, "input: not a regular file", false},
        {planted::device, "input: not a regular file", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(planted_name(c.what));
        scratch_dir dir;
        write_file("outside.txt", "earlier\n");
        if (!plant(c.what, "input", c.what == planted::link_to_file ? "outside.txt" : "target")) {
            std::printf("skipped: %s cannot be made here\n", planted_name(c.what));
            continue;
        }
        const bool readable = std::string(c.refusal).empty();
        std::string why;
        const int fd = open_regular_file("input", why);
        EXPECT_EQ(fd >= 0, readable);
        if (fd >= 0) close(fd);
        EXPECT_EQ(why, c.refusal);

        why.clear();
        std::FILE* stream = open_regular_stream("input", why);
        EXPECT_EQ(stream != nullptr, readable);
        char line[32] = {};
        if (stream) {
            EXPECT_NE(std::fgets(line, sizeof line, stream), nullptr);
            std::fclose(stream);
            EXPECT_STREQ(line, "earlier\n");
        }
        EXPECT_EQ(why, c.refusal);

        std::string text;
        why.clear();
        EXPECT_EQ(read_regular_file("input", text, why), readable);
        EXPECT_EQ(why, c.refusal);
        if (readable) {
            EXPECT_EQ(text, "earlier\n");
        }

        input_file in("input");
        EXPECT_EQ(static_cast<bool>(in), readable);
        EXPECT_EQ(in.error(), c.refusal);
        EXPECT_EQ(in.missing(), c.missing);
        std::string word;
        if (in) {
            EXPECT_TRUE(static_cast<bool>(in >> word));
        }
        EXPECT_EQ(word, readable ? "earlier" : "");
    }
}
