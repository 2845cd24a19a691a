#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lightcurve/sample_file.hpp"
#include "support/scratch_dir.hpp"

namespace {

// Whether two doubles have the same bits.
bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(SampleFile, ReadsBackEveryNumberBitForBit)
{
    scratch_dir dir;
    ref_curve ref;
    obs_set obs;
    for (int i = 0; i < 2 * reference_samples; ++i) {
        ref.times.push_back(2453828.6194549999 + i / 7.0);
        ref.photometry.push_back({-0.1 * i / 3.0, 0.01, 'V', i < reference_samples ? 12 : 40});
        ref.earth.push_back({1.0 / 3.0, -2e-300, 5.5e7 + i});
        ref.sun.push_back({0.1, 0.2 + i, -0.3});
    }
    for (int i = 0; i < 5; ++i) {
        obs.times.push_back(2453828.5 + i / 3.0);
        obs.photometry.push_back({1.0 / (i + 3), 0.01, 'V', 12});
        ++obs.count;
    }
    std::string why;
    ASSERT_TRUE(write_sample_file("samples.txt", ref, obs, why)) << why;
    ref_curve back;
    obs_set back_obs;
    ASSERT_TRUE(read_sample_file("samples.txt", back, back_obs, why)) << why;
    ASSERT_EQ(back.times.size(), ref.times.size());
    for (std::size_t i = 0; i < ref.times.size(); ++i) {
        EXPECT_TRUE(same_bits(back.times[i], ref.times[i]));
        EXPECT_TRUE(same_bits(back.photometry[i].magnitude, ref.photometry[i].magnitude));
        EXPECT_EQ(back.photometry[i].lc_number, ref.photometry[i].lc_number);
        EXPECT_TRUE(same_bits(back.earth[i].y, ref.earth[i].y));
        EXPECT_TRUE(same_bits(back.sun[i].y, ref.sun[i].y));
    }
    EXPECT_EQ(back.blocks, (std::vector<int32_t>{12, 40}));
    ASSERT_EQ(back_obs.count, 5);
    EXPECT_TRUE(same_bits(back_obs.photometry[2].magnitude, 0.2));
}

TEST(SampleFile, RefusesWhatIsNotOne)
{
    scratch_dir dir;
    ref_curve ref;
    obs_set obs;
    std::string why;
    EXPECT_FALSE(read_sample_file("missing.txt", ref, obs, why));
    EXPECT_NE(why.find("missing.txt"), std::string::npos);
    write_file("cut.txt", "sample 1 2453828.5 0.1 1 2 3 4 5\n");
    EXPECT_FALSE(read_sample_file("cut.txt", ref, obs, why));
    EXPECT_EQ(why, "cut.txt:1: not a sample, observation or point line");
    write_file("words.txt", "# only a comment\nobservation 1 2 3\n");
    EXPECT_FALSE(read_sample_file("words.txt", ref, obs, why));
    EXPECT_EQ(why, "words.txt: no samples");
}

// `n` sample lines of block `block` from time `t0`, a day apart, with the
// given earth direction.
std::string sample_lines(int n, const std::string& block = "3", double t0 = 2451545.0,
                         const std::string& earth = "1 0.5 0")
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "sample " + block + " " + std::to_string(t0 + i) + " 3.5 " + earth + " 0 2.5 0\n";
    return text;
}

TEST(SampleFile, RefusesNumbersNoSweepWrites)
{
    scratch_dir dir;
    const std::string run = sample_lines(reference_samples);
    struct hostile {
        std::string text;
        const char* reason;  // how the refusal ends ("" when the file is read)
    };
    const hostile cases[] = {
        {run + "observation 3 2451545 3.5\n", ""},
        {run + sample_lines(reference_samples, "7", 2451700.0), ""},
        {sample_lines(reference_samples - 1), "149 samples, not runs of 150 (one per block)"},
        {run + sample_lines(1), "151 samples, not runs of 150 (one per block)"},
        {sample_lines(reference_samples, "-1"), "1: the block must be a whole number from 0 to 2147483647"},
        {sample_lines(reference_samples, "1e300"), "1: the block must be a whole number from 0 to 2147483647"},
        {sample_lines(reference_samples, "2.5"), "1: the block must be a whole number from 0 to 2147483647"},
        {sample_lines(reference_samples, "nan"), "1: the block must be a whole number from 0 to 2147483647"},
        {run + "observation 1e10 2451545 3.5\n", "151: the block must be a whole number from 0 to 2147483647"},
        {run + "sample 3 nan 3.5 1 0 0 0 1 0\n", "151: every number but the block must be finite"},
        {run + "observation 3 2451545 inf\n", "151: every number but the block must be finite"},
        {sample_lines(reference_samples, "3", 2451545.0, "0 0 0"), "1: the earth and sun directions must not be zero"},
        {sample_lines(75) + sample_lines(75, "4", 2451700.0),
         "sample 76 is of another block than the first of its run"},
        {sample_lines(reference_samples - 1, "3", 2451545.0) + sample_lines(1, "3", 2451545.0),
         "the observations span too short a time to resample onto 150 distinct times"},
        {run + "sample 3 1 2 3 4 5 6 7 8 9\n", "151: not a sample, observation or point line"},
        {std::string("sample 3 1 2 3 4 5 6 7 8\0 9\n", 28), "1: not a sample, observation or point line"},
        // The chi2 fit's points: blocks in file order, each with a sigma above 0.
        {"point 0 1 2 0.01 1 0 0 0 1 0\npoint 0 2 2 0.01 1 0 0 0 1 0\npoint 4 9 2 0.03 1 0 0 0 1 0\n", ""},
        {"point 0 1 2 0.01 1 0 0 0 1 0\n", "1 point in 1 block leave no degree of freedom"},
        {"point 0 1 2 0 1 0 0 0 1 0\n", "1: the sigma must be greater than 0"},
        {"point 0 1 2 -0.1 1 0 0 0 1 0\n", "1: the sigma must be greater than 0"},
        {"point 0 1 2 0.01 0 0 0 0 1 0\n", "1: the earth and sun directions must not be zero"},
        {"point 0 1 2 0.01 1 0 0 0 1\n", "1: not a sample, observation or point line"},
        {"point 0 2 2 0.01 1 0 0 0 1 0\npoint 0 1 2 0.01 1 0 0 0 1 0\n", "times must not decrease within a block"},
        {"point 5 1 2 0.01 1 0 0 0 1 0\npoint 5 2 2 0.01 1 0 0 0 1 0\npoint 2 1 2 0.01 1 0 0 0 1 0\n",
         "block 2 does not follow block 5"},
        {run + "point 3 1 2 0.01 1 0 0 0 1 0\n", "151: a file holds points (the chi2 fit's) or samples"},
        {"point 3 1 2 0.01 1 0 0 0 1 0\nobservation 3 2451545 3.5\n", "2: a file holds points (the chi2 fit's)"},
    };
    for (const hostile& c : cases) {
        write_file("samples.txt", c.text);
        ref_curve ref;
        ref.times = {1.0};
        obs_set obs;
        std::string why;
        const bool read = read_sample_file("samples.txt", ref, obs, why);
        EXPECT_EQ(read, *c.reason == '\0') << c.reason << ": " << why;
        if (read) continue;
        EXPECT_EQ(why.rfind("samples.txt:", 0), 0u) << why;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(ref.times, std::vector<double>{1.0}) << "a refusal changed the caller's samples";
    }
    std::filesystem::create_directory("folder.txt");
    ref_curve ref;
    obs_set obs;
    std::string why;
    EXPECT_FALSE(read_sample_file("folder.txt", ref, obs, why));
    EXPECT_EQ(why, "cannot read folder.txt: not a regular file");
}

}  // namespace
