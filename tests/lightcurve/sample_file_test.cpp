#include <gtest/gtest.h>

#include <cstring>

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
    EXPECT_EQ(why, "cut.txt:1: not a sample or observation line");
    write_file("words.txt", "# only a comment\nobservation 1 2 3\n");
    EXPECT_FALSE(read_sample_file("words.txt", ref, obs, why));
    EXPECT_EQ(why, "words.txt: no samples");
}

}  // namespace
