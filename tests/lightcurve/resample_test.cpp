#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "support/scratch_dir.hpp"

namespace {

// A set of the given times and magnitudes; the vectors are distinct per
// observation so that their interpolation can be checked too.
obs_set make_set(const std::vector<double>& times, const std::vector<double>& magnitudes)
{
    obs_set set;
    set.count = static_cast<int32_t>(times.size());
    set.times = times;
    for (std::size_t i = 0; i < times.size(); ++i) {
        double d = static_cast<double>(i);
        set.photometry.push_back(phot_point{magnitudes[i], 0.01, 'V', 0});
        set.sun.push_back(vec3{1 + d, 2 * d, -d});
        set.earth.push_back(vec3{-d, 1, 3 * d});
    }
    return set;
}

// The interpolation in the order the reference uses.
double interpolated(double y_lo, double y_hi, double t_lo, double t_hi, double tk)
{
    double s = (y_hi - y_lo) / (t_hi - t_lo);
    return (y_lo - s * t_lo) + tk * s;
}

std::size_t line_count(const std::string& text)
{
    std::size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

std::string lf_lines(const std::vector<double>& x, const std::vector<double>& y)
{
    std::string text;
    char line[1024];
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::snprintf(line, sizeof line, "%lf %lf\n", x[i], y[i]);
        text += line;
    }
    return text;
}

TEST(Resample, TwoObservationsGiveUnitSteps)
{
    obs_set set = make_set({0, 150}, {0, 150});
    ref_curve ref;
    resample_reference(set, ref);
    ASSERT_EQ(ref.times.size(), 150u);
    ASSERT_EQ(ref.photometry.size(), 150u);
    ASSERT_EQ(ref.sun.size(), 150u);
    ASSERT_EQ(ref.earth.size(), 150u);
    for (int k = 0; k < 150; ++k) {
        EXPECT_EQ(ref.times[k], k);
        EXPECT_EQ(ref.photometry[k].magnitude, k);
    }
}

TEST(Resample, BracketIsTheFirstLaterObservation)
{
    // Slopes +10 then -10 per day: the wrong bracket gives a visibly wrong value.
    obs_set set = make_set({10, 10.3, 11.5}, {0, 3, -9});
    ref_curve ref;
    resample_reference(set, ref);
    const double step = (11.5 - 10.0) / 150;
    EXPECT_EQ(step, 0.01);
    for (int k = 0; k < 150; ++k) EXPECT_EQ(ref.times[k], 10.0 + static_cast<double>(k) * step);

    EXPECT_NEAR(ref.times[29], 10.29, 1e-12);
    EXPECT_NEAR(ref.photometry[29].magnitude, 2.9, 1e-9);
    EXPECT_EQ(ref.photometry[29].magnitude, interpolated(0, 3, 10, 10.3, ref.times[29]));
    EXPECT_EQ(ref.sun[29].y, interpolated(0, 2, 10, 10.3, ref.times[29]));

    EXPECT_NEAR(ref.photometry[31].magnitude, 2.9, 1e-9);
    EXPECT_EQ(ref.photometry[31].magnitude, interpolated(3, -9, 10.3, 11.5, ref.times[31]));

    EXPECT_NEAR(ref.times[149], 11.49, 1e-12);
    EXPECT_NEAR(ref.photometry[149].magnitude, -8.9, 1e-9);
    EXPECT_EQ(ref.photometry[149].magnitude, interpolated(3, -9, 10.3, 11.5, ref.times[149]));
    EXPECT_EQ(ref.sun[149].x, interpolated(2, 3, 10.3, 11.5, ref.times[149]));
    EXPECT_EQ(ref.sun[149].z, interpolated(-1, -2, 10.3, 11.5, ref.times[149]));
    EXPECT_EQ(ref.earth[149].x, interpolated(-1, -2, 10.3, 11.5, ref.times[149]));
    EXPECT_EQ(ref.earth[149].z, interpolated(3, 6, 10.3, 11.5, ref.times[149]));
}

TEST(Resample, SampleZeroCopiesObservationZeroAndLabelsComeFromIt)
{
    obs_set set = make_set({0, 1, 2, 3}, {5, 6, 7, 8});
    set.photometry[0] = phot_point{5, 0.25, 'R', 7};
    set.photometry[2] = phot_point{7, 0.5, 'B', 9};
    set.photometry[3] = phot_point{8, 0.75, 'I', 11};
    set.sun[0] = vec3{0.1, 0.2, 0.3};
    set.earth[0] = vec3{0.4, 0.5, 0.6};
    ref_curve ref;
    resample_reference(set, ref);
    EXPECT_EQ(ref.times[0], 0.0);
    EXPECT_EQ(ref.photometry[0].magnitude, 5.0);
    EXPECT_EQ(ref.sun[0].z, 0.3);
    EXPECT_EQ(ref.earth[0].x, 0.4);
    for (int k = 0; k < 150; ++k) {
        EXPECT_EQ(ref.photometry[k].sigma, 0.25);
        EXPECT_EQ(ref.photometry[k].filter, 'R');
        EXPECT_EQ(ref.photometry[k].lc_number, 7);
    }
    EXPECT_GT(ref.times[149], 2.9);  // inside the last block, still labelled from observation 0
}

TEST(Resample, DegenerateSetsStayInsideTheArrays)
{
    ref_curve ref;
    // One observation: nothing brackets a sample, every sample holds it.
    obs_set single = make_set({4}, {2});
    resample_reference(single, ref);
    for (int k = 0; k < 150; ++k) EXPECT_EQ(ref.photometry[k].magnitude, 2.0);

    // A span of one unit in the last place: the far samples round onto the
    // last time and have no later observation.
    const double t0 = 2451000.0;
    obs_set tight = make_set({t0, std::nextafter(t0, 3e6)}, {1, 2});
    resample_reference(tight, ref);
    for (int k = 0; k < 150; ++k) {
        EXPECT_TRUE(std::isfinite(ref.photometry[k].magnitude)) << k;
        EXPECT_TRUE(std::isfinite(ref.sun[k].x)) << k;
    }

    // A count beyond the arrays is trimmed to them.
    obs_set short_arrays = make_set({0, 10}, {0, 1});
    short_arrays.count = 1000;
    resample_reference(short_arrays, ref);
    EXPECT_NEAR(ref.photometry[75].magnitude, 0.5, 1e-12);

    obs_set empty;
    resample_reference(empty, ref);
    EXPECT_EQ(ref.times.size(), 150u);
}

TEST(ReferenceFiles, LinesAndFormatMatchPrintf)
{
    scratch_dir dir;
    std::string why;
    // Values that stress the six-decimal formatting: halfway cases, -0,
    // large and tiny magnitudes.
    std::vector<double> times = {-0.0, 0.0000005, 0.0000015, 2.5e-7,        2451234.1234565,
                                 1e22, 1.7e308,   4.9e-324,  -1234.0000005, 123456789.123456789};
    std::vector<double> mags = {0.5, -0.0000004, -7.25, 1e-7, 99.9999995, -1e15, 3.0, -0.0, 2.675, 1.0 / 3};
    obs_set set = make_set(times, mags);
    ref_curve ref;
    resample_reference(make_set({0, 150}, {0, -150}), ref);
    ASSERT_TRUE(write_reference_files(ref, set, why));

    std::string interpolated_file = read_file("ref_lc_interpolated.txt");
    EXPECT_EQ(line_count(interpolated_file), 150u);
    std::vector<double> ref_mags;
    for (const phot_point& p : ref.photometry) ref_mags.push_back(p.magnitude);
    EXPECT_EQ(interpolated_file, lf_lines(ref.times, ref_mags));
    EXPECT_EQ(interpolated_file.substr(0, 37), "0.000000 0.000000\n1.000000 -1.000000\n");

    std::string observed_file = read_file("ref_lc.txt");
    EXPECT_EQ(line_count(observed_file), times.size());
    EXPECT_EQ(observed_file, lf_lines(times, mags));
}

TEST(ReferenceFiles, ObservedFileHoldsMagnitudesOfTheReadFile)
{
    scratch_dir dir;
    std::string why;
    write_file("obs.zel", "1\n3\n1 100 1 0 0 0 1 0\n2 1 1 0 0 0 1 0\n3 0.1 1 0 0 0 1 0\n");
    obs_set set;
    std::string reason;
    ASSERT_EQ(read_lc_file("obs.zel", set, nullptr, reason), 3) << reason;
    ref_curve ref;
    resample_reference(set, ref);
    ASSERT_TRUE(write_reference_files(ref, set, why));
    // Brightness 1 gives -2.5 * 0, a negative zero, which "%lf" shows as such.
    EXPECT_EQ(read_file("ref_lc.txt"), "1.000000 -5.000000\n2.000000 -0.000000\n3.000000 2.500000\n");
}

TEST(ReferenceFiles, FailureToCreateEitherFileIsReported)
{
    scratch_dir dir;
    std::string why;
    obs_set set = make_set({0, 1}, {0, 1});
    ref_curve ref;
    resample_reference(set, ref);

    // A directory in the way cannot be opened for writing, not even by root.
    std::filesystem::create_directory("ref_lc_interpolated.txt");
    EXPECT_FALSE(write_reference_files(ref, set, why));
    EXPECT_FALSE(std::filesystem::exists("ref_lc.txt"));

    std::filesystem::remove("ref_lc_interpolated.txt");
    std::filesystem::create_directory("ref_lc.txt");
    EXPECT_FALSE(write_reference_files(ref, set, why));
    EXPECT_EQ(line_count(read_file("ref_lc_interpolated.txt")), 150u);
}

}  // namespace

TEST(CheckReference, RefusesWhatCannotBeFitted)
{
    const struct {
        const char* name;
        std::vector<double> times;
        double last_magnitude;
        const char* reason;  // "" when accepted
    } cases[] = {
        {"one night", {2451545.0, 2451545.1, 2451545.3}, 2.0, ""},
        {"times a subnormal apart", {0.0, 5e-324}, 2.0, "not finite"},
        {"a span of a hundred subnormals", {0.0, 4.94e-322}, 2.0, "not finite"},
        // The same values interpolate finitely, but the step rounds up.
        {"a flat span of a hundred subnormals", {0.0, 4.94e-322}, 1.0, "too short a time"},
        {"a span below the times' resolution", {2451545.0, 2451545.0 + 1e-9}, 2.0, "too short a time"},
    };
    for (const auto& c : cases) {
        obs_set set = make_set(c.times, std::vector<double>(c.times.size(), 1.0));
        set.photometry.back().magnitude = c.last_magnitude;
        if (c.last_magnitude == 1.0) {  // everything alike but the time
            set.sun.assign(set.sun.size(), set.sun[0]);
            set.earth.assign(set.earth.size(), set.earth[0]);
        }
        ref_curve ref;
        resample_reference(set, ref);
        std::string reason;
        EXPECT_EQ(check_reference(ref, reason), std::string(c.reason).empty()) << c.name;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
        // Whatever is accepted never runs past the last observation.
        if (reason.empty()) {
            EXPECT_LE(ref.times.back(), c.times.back()) << c.name;
        }
    }
    ref_curve ref;
    resample_reference(make_set({0.0, 1.0}, {1.0, 2.0}), ref);
    ref.sun[7].y = NAN;
    std::string reason;
    EXPECT_FALSE(check_reference(ref, reason));
    EXPECT_NE(reason.find("sample 7"), std::string::npos) << reason;
}
