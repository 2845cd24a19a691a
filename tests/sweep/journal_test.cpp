#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/scratch_dir.hpp"
#include "sweep/sweep_journal.hpp"

namespace {

const std::string run_a = "0123456789abcdef0123456789abcdef";
const std::string run_b = "fedcba9876543210fedcba9876543210";

// Whether two rows are the same bit for bit (NaN included).
bool same_row(const journal_row& a, const journal_row& b)
{
    const auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
    if (a.shape != b.shape || bits(a.misfit) != bits(b.misfit) || bits(a.best_shift) != bits(b.best_shift) ||
        a.file_bytes != b.file_bytes || a.file_checksum != b.file_checksum || a.blocks.size() != b.blocks.size())
        return false;
    for (std::size_t i = 0; i < a.blocks.size(); ++i)
        if (bits(a.blocks[i].misfit) != bits(b.blocks[i].misfit) ||
            bits(a.blocks[i].best_shift) != bits(b.blocks[i].best_shift))
            return false;
    return true;
}

// A row line as the journal writes it: shape 7, misfit 0.5, shift 0.25,
// 4096 bytes, checksum 0x0123..., then `more`.
std::string row_line(const std::string& more = "")
{
    return "7 3fe0000000000000 3fd0000000000000 4096 0123456789abcdef" + more + "\n";
}

}  // namespace

TEST(Journal, RowsComeBackExactlyUnderTheRunThatWroteThem)
{
    scratch_dir dir;
    const std::vector<journal_row> rows = {
        {1, 0.125, 0.0, 3900, 0xffffffffffffffffull, {}},
        {2, std::nan(""), 0.0, 3901, 0, {}},
        {280, -0.0, 1.0, 0, 42, {{0.5, 1e-300}, {0.25, std::numeric_limits<double>::infinity()}}},
    };
    std::string why;
    sweep_journal journal;
    ASSERT_TRUE(journal.open("journal.txt", why)) << why;
    ASSERT_TRUE(journal.start(run_a, 0, why)) << why;
    ASSERT_TRUE(journal.append(rows.data(), 2, why)) << why;
    journal.close();

    journal_contents read = read_journal("journal.txt");
    EXPECT_EQ(read.run_id, run_a);
    ASSERT_EQ(read.rows.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_TRUE(same_row(read.rows[i], rows[i])) << i;
    EXPECT_EQ(read.valid_bytes, static_cast<int64_t>(read_file("journal.txt").size()));

    // A resumed run keeps the header and the rows and appends after them.
    ASSERT_TRUE(journal.open("journal.txt", why)) << why;
    ASSERT_TRUE(journal.start(run_a, read.valid_bytes, why)) << why;
    ASSERT_TRUE(journal.append(rows.data() + 2, 1, why)) << why;
    journal.close();
    read = read_journal("journal.txt");
    ASSERT_EQ(read.rows.size(), 3u);
    EXPECT_TRUE(same_row(read.rows[2], rows[2]));

    // Opening changes nothing; a new run's start leaves only its header.
    const std::string before = read_file("journal.txt");
    ASSERT_TRUE(journal.open("journal.txt", why)) << why;
    EXPECT_EQ(read_file("journal.txt"), before);
    ASSERT_TRUE(journal.start(run_b, 0, why)) << why;
    journal.close();
    EXPECT_EQ(read_file("journal.txt"), "run " + run_b + "\n");
    read = read_journal("journal.txt");
    EXPECT_EQ(read.run_id, run_b);
    EXPECT_TRUE(read.rows.empty());

    // A folder where the journal goes cannot be opened.
    std::filesystem::create_directory("folder");
    EXPECT_FALSE(journal.open("folder", why));
    EXPECT_NE(why.find("cannot create folder"), std::string::npos) << why;
}

TEST(Journal, OnlyWhatTheWriterWritesIsRead)
{
    const std::string header = "run " + run_a + "\n";
    const struct {
        const char* name;
        std::string bytes;
        bool named;        // the run id is read
        std::size_t rows;  // rows read
        std::size_t good;  // bytes of the good part
    } cases[] = {
        {"empty", "", false, 0, 0},
        {"a row", header + row_line(), true, 1, header.size() + row_line().size()},
        {"a joint fit's row", header + row_line(" 3fd0000000000000 3fe0000000000000"), true, 1,
         header.size() + row_line(" 3fd0000000000000 3fe0000000000000").size()},
        {"the header only", header, true, 0, header.size()},
        {"a header cut", header.substr(0, 20), false, 0, 0},
        {"rows without a header (an earlier version's)", "7 3fe0000000000000 3fd0000000000000 4096\n", false, 0, 0},
        {"a short id", "run 0123\n" + row_line(), false, 0, 0},
        {"an upper-case id", "run " + std::string(32, 'A') + "\n" + row_line(), false, 0, 0},
        {"a torn last row", header + row_line() + row_line().substr(0, 30), true, 1, header.size() + row_line().size()},
        {"a row without its checksum", header + "7 3fe0000000000000 3fd0000000000000 4096\n", true, 0, header.size()},
        {"upper-case hexadecimal", header + "7 3FE0000000000000 3fd0000000000000 4096 0123456789abcdef\n", true, 0,
         header.size()},
        {"shape 0", header + "0 3fe0000000000000 3fd0000000000000 4096 0123456789abcdef\n", true, 0, header.size()},
        {"a shape past int32", header + "2147483648 3fe0000000000000 3fd0000000000000 4096 0123456789abcdef\n", true, 0,
         header.size()},
        {"a negative size", header + "7 3fe0000000000000 3fd0000000000000 -4096 0123456789abcdef\n", true, 0,
         header.size()},
        {"a 0x prefix", header + "7 0x3fe00000000000 3fd0000000000000 4096 0123456789abcdef\n", true, 0, header.size()},
        {"a trailing space", header + row_line(" "), true, 0, header.size()},
        {"half a block's fit", header + row_line(" 3fd0000000000000"), true, 0, header.size()},
        {"a NUL in a row", header + row_line() + std::string("7 3fe0000000000000\0", 19) + "\n", true, 1,
         header.size() + row_line().size()},
    };
    for (const auto& c : cases) {
        const journal_contents read = parse_journal(c.bytes);
        EXPECT_EQ(!read.run_id.empty(), c.named) << c.name;
        EXPECT_EQ(read.rows.size(), c.rows) << c.name;
        EXPECT_EQ(read.valid_bytes, static_cast<int64_t>(c.good)) << c.name;
    }
    const journal_contents one = parse_journal(header + row_line());
    ASSERT_EQ(one.rows.size(), 1u);
    EXPECT_TRUE(same_row(one.rows[0], {7, 0.5, 0.25, 4096, 0x0123456789abcdefull, {}}));
}
