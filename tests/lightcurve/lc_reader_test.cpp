#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lightcurve/lc_reader.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"

namespace {

// One point line: time, brightness, sun vector, earth vector.
std::string pt(double t, double b = 1.0, double sx = 1, double sy = 0, double sz = 0, double ex = 0, double ey = 1,
               double ez = 0)
{
    char line[256];
    std::snprintf(line, sizeof line, "%.9g %.9g %g %g %g %g %g %g\n", t, b, sx, sy, sz, ex, ey, ez);
    return line;
}

// A file of one block holding `times`.
std::string block_file(const std::vector<double>& times)
{
    std::string text = "1\n" + std::to_string(times.size()) + "\n";
    for (double t : times) text += pt(t);
    return text;
}

struct load_result {
    int32_t n;
    std::string reason;
    std::vector<status_call> boxes;
};

load_result load(const std::string& path, obs_set& set, int32_t only_block = all_blocks)
{
    recording_front_end ui;
    std::string reason = "stale";
    int32_t n = read_lc_file(path, set, &ui, reason, only_block);
    return {n, reason, ui.boxes()};
}

load_result load_text(const std::string& text, obs_set& set, int32_t only_block = all_blocks)
{
    write_file("obs.zel", text);
    return load("obs.zel", set, only_block);
}

std::vector<int32_t> numbers(const obs_set& set)
{
    std::vector<int32_t> out;
    for (const phot_point& p : set.photometry) out.push_back(p.lc_number);
    return out;
}

// Field-by-field equality of two sets (bitwise on the doubles).
void expect_same_set(const obs_set& a, const obs_set& b)
{
    ASSERT_EQ(a.count, b.count);
    ASSERT_EQ(a.times.size(), b.times.size());
    ASSERT_EQ(a.photometry.size(), b.photometry.size());
    ASSERT_EQ(a.sun.size(), b.sun.size());
    ASSERT_EQ(a.earth.size(), b.earth.size());
    for (std::size_t i = 0; i < a.times.size(); ++i) {
        EXPECT_EQ(a.times[i], b.times[i]);
        EXPECT_EQ(a.photometry[i].magnitude, b.photometry[i].magnitude);
        EXPECT_EQ(a.photometry[i].lc_number, b.photometry[i].lc_number);
        EXPECT_EQ(a.sun[i].x, b.sun[i].x);
        EXPECT_EQ(a.earth[i].y, b.earth[i].y);
    }
}

TEST(LcReader, ThreePointsOfOneBlock)
{
    scratch_dir dir;
    obs_set set;
    load_result r = load_text("1\n3\n" + pt(10.5, 1, 1, 2, 3, 4, 5, 6) + pt(11, 2) + pt(12, 3), set);
    ASSERT_EQ(r.n, 3) << r.reason;
    EXPECT_EQ(r.reason, "");
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(set.count, 3);
    EXPECT_EQ(set.times, (std::vector<double>{10.5, 11, 12}));
    EXPECT_EQ(numbers(set), (std::vector<int32_t>{0, 0, 0}));
    for (const phot_point& p : set.photometry) {
        EXPECT_EQ(p.sigma, 0.01);
        EXPECT_EQ(p.filter, 'V');
    }
    EXPECT_EQ(set.sun[0].x, 1);
    EXPECT_EQ(set.sun[0].z, 3);
    EXPECT_EQ(set.earth[0].x, 4);
    EXPECT_EQ(set.earth[0].z, 6);
}

TEST(LcReader, BlocksAreNumberedFromZeroInFileOrder)
{
    scratch_dir dir;
    obs_set set;
    load_result r = load_text("2\n2\n" + pt(1) + pt(2) + "3\n" + pt(3) + pt(4) + pt(5), set);
    ASSERT_EQ(r.n, 5) << r.reason;
    EXPECT_EQ(numbers(set), (std::vector<int32_t>{0, 0, 1, 1, 1}));
    EXPECT_EQ(set.times, (std::vector<double>{1, 2, 3, 4, 5}));
}

TEST(LcReader, MagnitudeIsMinusTwoAndAHalfLog10OfBrightness)
{
    scratch_dir dir;
    obs_set set;
    load_result r = load_text("1\n3\n" + pt(1, 1.0) + pt(2, 100) + pt(3, 0.1), set);
    ASSERT_EQ(r.n, 3) << r.reason;
    EXPECT_EQ(set.photometry[0].magnitude, 0.0);
    EXPECT_EQ(set.photometry[1].magnitude, -5.0);
    EXPECT_DOUBLE_EQ(set.photometry[2].magnitude, 2.5);
}

TEST(LcReader, HeadersReadTheLeadingIntegerAsPercentI)
{
    scratch_dir dir;
    obs_set set;
    // "5 0": the second number is ignored.
    load_result r = load_text("1 lightcurve\n5 0\n" + pt(1) + pt(2) + pt(3) + pt(4) + pt(5), set);
    EXPECT_EQ(r.n, 5) << r.reason;

    // 010 is octal eight; 0x2 is hexadecimal two; leading blanks and a sign are fine.
    std::string text = "  +3\n010\n";
    for (int i = 0; i < 8; ++i) text += pt(i);
    text += "0x2\n" + pt(8) + pt(9) + "\t1\n" + pt(10);
    r = load_text(text, set);
    EXPECT_EQ(r.n, 11) << r.reason;
    EXPECT_EQ(numbers(set).back(), 2);

    // 08 reads as 0: block 0 is empty and the next line is block 1's header.
    r = load_text("2\n08\n2\n" + pt(1) + pt(2), set);
    ASSERT_EQ(r.n, 2) << r.reason;
    EXPECT_EQ(numbers(set), (std::vector<int32_t>{1, 1}));
}

TEST(LcReader, ExtraTextCrlfLongLinesAndTrailingLinesAreIgnored)
{
    scratch_dir dir;
    obs_set set;
    std::string junk(5000, 'x');
    std::string text = "1\r\n" + std::string(300, ' ') + "3 " + junk + "\r\n";
    text += "1 1 1 0 0 0 1 0 and a remark " + junk + " 9 9 9\r\n";
    text += std::string(400, ' ') + "2 1 1 0 0 0 1 0\r\n";
    text += "3 1 1 0 0 0 1 0 9\n";
    text += "these lines follow the last block\nnot numbers at all\n";
    load_result r = load_text(text, set);
    ASSERT_EQ(r.n, 3) << r.reason;
    EXPECT_EQ(set.times, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(set.earth[2].y, 1.0);
}

TEST(LcReader, NumbersFollowTheLfGrammar)
{
    scratch_dir dir;
    obs_set set;
    load_result r = load_text("1\n2\n+1.5e0 1E2 0x1p0 -0 .5 -.25 1 0\n2 1 1 0 0 0 1 0\n", set);
    ASSERT_EQ(r.n, 2) << r.reason;
    EXPECT_EQ(set.times[0], 1.5);
    EXPECT_EQ(set.photometry[0].magnitude, -5.0);
    EXPECT_EQ(set.sun[0].x, 1.0);
    EXPECT_EQ(set.sun[0].z, 0.5);
    EXPECT_EQ(set.earth[0].x, -0.25);
}

TEST(LcReader, SevenNumbersFailWithoutAMessageBox)
{
    scratch_dir dir;
    obs_set set;
    load_result r = load_text("1\n2\n" + pt(1) + "2 1 1 0 0 0 1\n", set);
    EXPECT_EQ(r.n, 0);
    EXPECT_EQ(r.reason, "obs.zel:4: expected 8 numbers, found 7");
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(set.count, 0);
}

TEST(LcReader, FirstLineZeroShowsTheMemoryBox)
{
    scratch_dir dir;
    obs_set set;
    ASSERT_EQ(load_text(block_file({1, 2, 3}), set).n, 3);
    obs_set before = set;
    load_result r = load_text("0\n", set);
    EXPECT_EQ(r.n, 0);
    EXPECT_NE(r.reason, "");
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, "Virtual memory not allocated");
    EXPECT_EQ(r.boxes[0].caption, "Error");
    EXPECT_EQ(r.boxes[0].icon, box_icon::error);
    expect_same_set(set, before);
}

// Every row is loaded after a good set; the good set must survive a refusal.
struct input_case {
    const char* name;
    std::string text;
    int32_t expect_n = 0;         // 0: refused
    const char* reason_has = "";  // a fragment the reason must hold
    bool expect_box = false;
};

std::vector<input_case> input_cases()
{
    const std::string good = pt(1) + pt(2);
    // Far longer than any fixed line buffer; neither line may be split.
    std::string long_line =
        "1\n2\n" + std::string(100000, ' ') + pt(1) + "2 1 1 0 0 0 1 0 " + std::string(70000, '#') + "\n";
    return {
        {"empty file", "", 0, "obs.zel:1: the file is empty"},
        {"blank first line", "\n" + good, 0, "obs.zel:1: expected the number of lightcurves"},
        {"binary garbage",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0\xff\xfe\n\x90\x90",
                     15),
         0, ":1: expected"},
        {"garbage after a NUL", "1\n2\n1 1" + std::string(1, '\0') + " 1 0 0 0 1 0\n" + pt(2), 0,
         ":3: expected 8 numbers, found 2"},
        {"negative lightcurve count", "-3\n" + good, 0, "no observations", true},
        {"negative point count only", "1\n-2\n" + good, 0, "no observations", true},
        {"count beyond 32 bits", "99999999999\n" + good, 0, ":1: the number of lightcurves is out of range"},
        {"point count beyond 32 bits", "1\n0x100000002\n" + good, 0, ":2: the number of points is out of range"},
        {"2147483647 points announced", "1\n2147483647\n" + good, 0, ":5: missing point line"},
        {"2147483647 lightcurves announced", "2147483647\n2\n" + good, 0, ":5: missing header of lightcurve 1"},
        {"fewer point lines than announced", "2\n2\n" + good + "3\n" + pt(3) + pt(4), 0, ":8: missing point line"},
        {"missing header", "2\n2\n" + good, 0, ":5: missing header"},
        {"header not a number", "1\nthree\n" + good, 0, ":2: expected the number of points"},
        {"missing fields", "1\n2\n" + pt(1) + "2 1 1 0 0\n", 0, ":4: expected 8 numbers, found 5"},
        {"word in a field", "1\n2\n" + pt(1) + "2 1 1 zero 0 0 1 0\n", 0, "found 3"},
        {"empty point line", "1\n2\n" + pt(1) + "\n", 0, "found 0"},
        {"nan time", "1\n2\nnan 1 1 0 0 0 1 0\n" + pt(2), 0, ":3: time is not a finite number"},
        {"inf brightness", "1\n2\n" + pt(1) + "2 inf 1 0 0 0 1 0\n", 0, ":4: brightness is not a finite number"},
        {"overflowing earth z", "1\n2\n" + pt(1) + "2 1 1 0 0 0 1 1e999\n", 0, "earth z is not a finite number"},
        {"zero brightness", "1\n2\n" + pt(1) + pt(2, 0), 0, ":4: brightness must be greater than 0"},
        {"negative brightness", "1\n2\n" + pt(1, -1) + pt(2), 0, ":3: brightness must be greater than 0"},
        {"zero sun vector", "1\n2\n" + pt(1, 1, 0, 0, 0) + pt(2), 0, ":3: sun vector is zero"},
        {"zero earth vector", "1\n2\n" + pt(1) + pt(2, 1, 1, 0, 0, 0, 0, 0), 0, ":4: earth vector is zero"},
        {"vanishing earth vector", "1\n2\n" + pt(1) + pt(2, 1, 1, 0, 0, 1e-200, 0, 0), 0, "earth vector is too small"},
        {"unordered times", "1\n3\n" + pt(1) + pt(3) + pt(2), 0, ":5: time 2.000000 is earlier"},
        {"unordered across blocks", "2\n1\n" + pt(5) + "1\n" + pt(4), 0, ":5: time 4.000000"},
        {"single observation", "1\n1\n" + pt(1), 0, "a single observation"},
        {"all times equal", "1\n3\n" + pt(7) + pt(7) + pt(7), 0, "have the same time"},
        {"endless time span", "1\n2\n" + pt(-1.5e308) + pt(1.5e308), 0, "time span"},
        {"crlf line ends", "1\r\n2\r\n1 1 1 0 0 0 1 0\r\n2 1 1 0 0 0 1 0\r\n", 2},
        {"very long lines", long_line, 2},
        {"equal times inside", "1\n3\n" + pt(1) + pt(1) + pt(2), 3},
    };
}

TEST(LcReader, MalformedInputIsRefusedAndKeepsThePreviousSet)
{
    scratch_dir dir;
    for (const input_case& c : input_cases()) {
        SCOPED_TRACE(c.name);
        obs_set set;
        ASSERT_EQ(load_text(block_file({100, 101, 102}), set).n, 3);
        const obs_set before = set;
        load_result r = load_text(c.text, set);
        EXPECT_EQ(r.n, c.expect_n) << r.reason;
        EXPECT_EQ(r.boxes.size(), c.expect_box ? 1u : 0u);
        if (c.expect_n == 0) {
            EXPECT_EQ(r.reason.rfind("obs.zel:", 0), 0u) << r.reason;
            EXPECT_NE(r.reason.find(c.reason_has), std::string::npos) << r.reason;
            expect_same_set(set, before);
        } else {
            EXPECT_EQ(r.reason, "");
            EXPECT_EQ(set.count, c.expect_n);
            EXPECT_EQ(set.times.size(), static_cast<std::size_t>(c.expect_n));
        }
    }
}

TEST(LcReader, PathsThatAreNotReadableFilesAreRefused)
{
    scratch_dir dir;
    obs_set set;
    ASSERT_EQ(load_text(block_file({1, 2}), set).n, 2);
    const obs_set before = set;

    std::filesystem::create_directory("a_directory");
    std::vector<std::string> paths = {"a_directory", "no_such_file.zel", ""};
    write_file("locked.zel", block_file({1, 2}));
    chmod("locked.zel", 0);
    // Root reads the file anyway; the row only means something for others.
    if (access("locked.zel", R_OK) != 0) paths.push_back("locked.zel");

    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        load_result r = load(path, set);
        EXPECT_EQ(r.n, 0);
        EXPECT_NE(r.reason.find("cannot open"), std::string::npos) << r.reason;
        EXPECT_TRUE(r.boxes.empty());
        expect_same_set(set, before);
    }
}

TEST(LcReader, BlockSelectionKeepsOneBlock)
{
    scratch_dir dir;
    obs_set set;
    // As a whole the file is out of time order; every block is in order.
    const std::string text =
        "4\n2\n" + pt(50) + pt(51) + "3\n" + pt(10, 100) + pt(11) + pt(12) + "0\n" + "2\n" + pt(30) + pt(30);
    EXPECT_EQ(load_text(text, set).n, 0);

    load_result r = load_text(text, set, 1);
    ASSERT_EQ(r.n, 3) << r.reason;
    EXPECT_EQ(set.times, (std::vector<double>{10, 11, 12}));
    EXPECT_EQ(numbers(set), (std::vector<int32_t>{1, 1, 1}));
    EXPECT_EQ(set.photometry[0].magnitude, -5.0);

    const obs_set before = set;
    r = load_text(text, set, 2);
    EXPECT_EQ(r.n, 0);
    EXPECT_NE(r.reason.find("lightcurve 2 holds no points"), std::string::npos) << r.reason;
    EXPECT_TRUE(r.boxes.empty());
    r = load_text(text, set, 3);
    EXPECT_EQ(r.n, 0);
    EXPECT_NE(r.reason.find("same time"), std::string::npos) << r.reason;
    r = load_text(text, set, 4);
    EXPECT_EQ(r.n, 0);
    EXPECT_NE(r.reason.find("holds 4 lightcurves"), std::string::npos) << r.reason;
    expect_same_set(set, before);

    // A malformed line in another block still refuses the file.
    r = load_text("2\n2\n" + pt(1) + pt(2) + "1\n1 2 3\n", set, 0);
    EXPECT_EQ(r.n, 0);
    EXPECT_NE(r.reason.find(":6: expected 8 numbers"), std::string::npos) << r.reason;
}

}  // namespace
