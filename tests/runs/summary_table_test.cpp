#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "runs/summary_table.hpp"
#include "support/scratch_dir.hpp"

namespace {

const std::string params = " 1.000000 0.500000 0.250000 0.600000 0.300000 0.150000 0.400000 0.000000 ";

TEST(SummaryTable, ReadsOnlyRowsOfTheGrid)
{
    struct line_case {
        std::string line;
        bool row;
    };
    const line_case cases[] = {
        {"2" + params + "0.072971", true},
        {"12" + params + "nan", true},
        {"12" + params + "-nan", true},
        {"3" + params + "0.072971  ", true},
        {"0" + params + "0.072971", false},
        {"13" + params + "0.072971", false},
        {"-1" + params + "0.072971", false},
        {"99999999999999999999999" + params + "0.072971", false},
        {"4294967298" + params + "0.072971", false},
        {"2" + params, false},
        {"2" + params + "0.1 0.2", false},
        {"2" + params + "0.1x", false},
        {"2 inf 0.5 0.25 0.6 0.3 0.15 0.4 0 0.1", false},
        {"2 1 0.5 0.25 0.6 0.3 0.15 0.4 nan 0.1", false},
        {"2" + params + "0.1\r", false},
        {"2" + params + std::string("0.1\0 9", 6), false},
        {" 2" + params + "0.1", false},
        {"2,1,0.5,0.25,0.6,0.3,0.15,0.4,0,0.1", false},
        {"", false},
    };
    for (const line_case& c : cases) {
        summary_row row;
        EXPECT_EQ(parse_summary_line(c.line, 12, row), c.row) << c.line;
    }
    summary_row row;
    ASSERT_TRUE(parse_summary_line("12" + params + "-nan", 12, row));
    EXPECT_EQ(row.shape, 12);
    EXPECT_EQ(row.params[6], 0.4);
    EXPECT_TRUE(std::isnan(row.misfit));
}

TEST(SummaryTable, ReadsOnlyBlockFitsOfTheGrid)
{
    struct line_case {
        std::string line;
        bool fit;
    };
    const line_case cases[] = {
        {"3,54,0.496644,0.049739", true},
        {"3,0,0.5,nan", true},
        {"13,0,0.5,0.1", false},
        {"3,-1,0.5,0.1", false},
        {"3,0,inf,0.1", false},
        {"3,0,0.5", false},
        {"3,0,0.5,0.1,7", false},
        {"3;0;0.5;0.1", false},
        {"3,99999999999,0.5,0.1", false},
        {"", false},
        {"shape,block,shift,misfit", false},
    };
    for (const line_case& c : cases) EXPECT_EQ(parse_block_fit_line(c.line, 12), c.fit) << c.line;
}

TEST(SummaryTable, RefusesATableThatIsNotTheGridsInOrder)
{
    scratch_dir dir;
    const std::string row1 = "1" + params + "0.1\n", row2 = "2" + params + "0.2\n", row5 = "5" + params + "0.5\n";
    struct table_case {
        const char* name;
        std::string text;
        const char* reason;  // "" when the table is read
        std::size_t rows;
    };
    const table_case cases[] = {
        {"whole.txt", row1 + row2 + row5, "", 3},
        {"empty.txt", "", "", 0},
        {"unordered.txt", row2 + row1, "unordered.txt:2: shape 1 after shape 2", 0},
        {"twice.txt", row1 + row2 + row2, "twice.txt:3: shape 2 after shape 2", 0},
        {"past.txt", row1 + "13" + params + "0.1\n", "past.txt:2: not a row of the summary table of 12 shapes", 0},
        {"cut.txt", row1 + "2 1.000000 0.5", "cut.txt:2: not a row", 0},
    };
    for (const table_case& c : cases) {
        write_file(c.name, c.text);
        std::vector<summary_row> rows;
        std::string why;
        const bool read = read_summary(c.name, 12, rows, why);
        EXPECT_EQ(read, *c.reason == '\0') << c.name << ": " << why;
        if (read) {
            EXPECT_EQ(rows.size(), c.rows) << c.name;
        } else {
            EXPECT_EQ(why.rfind(c.reason, 0), 0u) << why;
        }
    }
    std::filesystem::create_directory("folder.txt");
    std::vector<summary_row> rows;
    std::string why;
    EXPECT_FALSE(read_summary("folder.txt", 12, rows, why));
    EXPECT_EQ(why, "cannot read folder.txt: not a regular file");
    EXPECT_FALSE(read_summary("missing.txt", 12, rows, why));
    EXPECT_EQ(why.rfind("cannot read missing.txt", 0), 0u) << why;
}

}  // namespace
