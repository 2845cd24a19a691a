#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "runs/refinement_reader.hpp"
#include "support/scratch_dir.hpp"

namespace fs = std::filesystem;

namespace {

// An uncertainty record as the refinement writes it, with a jackknife.
const std::string good_uncertainty = R"({
  "chi2_min": 400.9560249,
  "nu": 297,
  "threshold": 433.8588749,
  "sigma_inflation": 1.161903733,
  "parameters": {
    "y_scale_1": {"best": 0.9982843027, "min": 0.9982843027, "max": 1},
    "x_shift": {"best": 0.896142265, "min": 0.8959316582, "max": 0.8966933173},
    "phi0_deg": {"best": 89.91413259, "min": 89.80599602, "max": 90.20959375}
  },
  "jackknife": {
    "blocks": 3,
    "x_shift": {"spread": 0.001507005717, "min": 0.8963963759, "max": 0.8990061328}
  },
  "at_bound": ["y_scale_1"]
}
)";

// Refined solutions as the refinement writes them.
const std::string good_refined =
    "# start_shape y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift phi0_deg chi2 reduced_chi2 rms_mag "
    "evaluations\n"
    "7 0.998284 0.541183 0.595402 0.292863 0.157714 0.896142 89.914133 400.9560249 1.35002 0.00199084 300\n"
    "0 1.000000 0.500000 0.600000 0.300000 0.150000 0.900000 90.000000 833.0586747 2.80491 nan 600\n";

// `text` with its first `from` replaced by `to` (the test fails when there is none).
std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST(RefinementReader, RefusesAnUncertaintyRecordThatIsNotOne)
{
    const struct {
        const char* from;
        const char* to;
        const char* reason;  // part of the refusal; "" for a record that is read
    } cases[] = {
        {"\"jackknife\": {", "\"jackknife\": null, \"was\": {", ""},
        {"\"spread\": 0.001507005717", "\"spread\": null", ""},
        {"\"y_scale_1\": {\"best\"", "\"future_param\": 3, \"y_scale_1\": {\"best\"", ""},
        {"[\"y_scale_1\"]", "[\"y_scale_1\", \"future_param\"]", ""},
        {"\"nu\": 297", "\"nu\": 0", "nu > 0"},
        {"\"nu\": 297", "\"nu\": \"297\"", "nu must be a finite number"},
        {"\"nu\": 297", "\"nu\": 1e999", "number overflow"},
        {"\"chi2_min\": 400.9560249,", "", "chi2_min is missing"},
        {"\"threshold\": 433.8588749", "\"threshold\": 1", "threshold >= chi2_min"},
        {"\"sigma_inflation\": 1.161903733", "\"sigma_inflation\": 0.5", "sigma_inflation >= 1"},
        {"\"best\": 0.896142265", "\"best\": null", "parameters.x_shift.best must be a finite number"},
        {"\"min\": 0.8959316582", "\"min\": 2", "parameters.x_shift.min is above its max"},
        {"\"x_shift\": {\"best\"", "\"x_shift\": 1, \"q\": {\"best\"", "parameters.x_shift must be an object"},
        {"\"parameters\": {", "\"parameters\": 5, \"p\": {", "parameters must be an object"},
        {"\"blocks\": 3", "\"blocks\": 1", "jackknife.blocks must be a whole number from 2"},
        {"\"spread\": 0.001507005717", "\"spread\": -1", "jackknife.x_shift.spread must not be negative"},
        {"[\"y_scale_1\"]", "[1]", "at_bound must be a list of names"},
        {"\"at_bound\": [", "\"deep\": [[[[[[[[[[[[1]]]]]]]]]]]], \"at_bound\": [", "nests deeper"},
        {"\n}\n", "\n", "parse error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        uncertainty_record u;
        u.nu = -5.0;
        std::string why;
        const bool read = parse_uncertainty(replaced(good_uncertainty, c.from, c.to), "u.json", u, why);
        if (*c.reason == '\0') {
            EXPECT_TRUE(read) << why;
            continue;
        }
        EXPECT_FALSE(read);
        EXPECT_NE(why.find("u.json is not a refinement's uncertainty record"), std::string::npos) << why;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(u.nu, -5.0);  // left as it was
    }
    uncertainty_record u;
    std::string why;
    EXPECT_FALSE(parse_uncertainty(std::string(max_uncertainty_bytes + 1, ' '), "u.json", u, why));
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
}

TEST(RefinementReader, ReadsRefinedSolutionsByTheirHeader)
{
    refined_table t;
    std::string why;
    // Columns in another order, the spin state and an unknown one among them.
    const std::string text = "# chi2 start_shape y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift phi0_deg "
                             "period_h extra reduced_chi2 rms_mag evaluations\n"
                             "12.5 7 0.9 0.5 0.6 0.3 0.15 0.9 89.5 21.900000001 word 1.25 0.01 300\n";
    ASSERT_TRUE(parse_refined(text, "r.txt", t, why)) << why;
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.params.size(), 8u);
    EXPECT_EQ(t.params.back(), model_param::period_h);
    const refined_row& r = t.rows[0];
    EXPECT_EQ(r.start_shape, 7);
    EXPECT_EQ(r.chi2, 12.5);
    EXPECT_EQ(r.reduced_chi2, 1.25);
    EXPECT_EQ(r.x[model_param::x_shift], 0.9);
    EXPECT_EQ(r.x[model_param::period_h], 21.900000001);
    EXPECT_TRUE(std::isnan(r.x[model_param::lambda_deg]));
    EXPECT_EQ(r.evaluations, 300);

    ASSERT_TRUE(parse_refined(good_refined, "r.txt", t, why)) << why;
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_TRUE(std::isnan(t.rows[1].rms_mag));
}

TEST(RefinementReader, RefusesRefinedSolutionsThatAreNotThem)
{
    const struct {
        const char* from;
        const char* to;
        const char* reason;
    } cases[] = {
        {"# start_shape", "start_shape", "r.txt:1: the header line must start with #"},
        {" rms_mag ", " ", "r.txt:1: the header names no column rms_mag"},
        {" x_shift ", " x_shift y_scale_1 ", "r.txt:1: the header names y_scale_1 twice"},
        {"0.00199084 300", "0.00199084", "r.txt:2: 11 fields, not the 12"},
        {"400.9560249", "inf", "r.txt:2: field 9 \"inf\""},
        {"400.9560249", "nan", "r.txt:2: field 9 \"nan\""},  // the best has a chi2
        {"833.0586747", "-3", "r.txt:3: field 9"},
        {"0.998284", "1e999", "r.txt:2: field 2"},
        {"0.998284", "0x", "r.txt:2: field 2"},
        {"\n7 ", "\n-7 ", "r.txt:2: field 1"},
        {" 300\n", " 3e2\n", "r.txt:2: field 12"},
        {"600\n", "600", "r.txt: cut short"},
        {"600\n", "600\n\n", "r.txt:4: 0 fields"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        refined_table t;
        std::string why;
        EXPECT_FALSE(parse_refined(replaced(good_refined, c.from, c.to), "r.txt", t, why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_TRUE(t.rows.empty());
    }
    refined_table t;
    std::string why;
    EXPECT_FALSE(parse_refined(good_refined.substr(0, good_refined.find('\n') + 1), "r.txt", t, why));
    EXPECT_NE(why.find("no refined solution"), std::string::npos) << why;
}

// Both files of a folder, by name; each read only as a regular file of
// bounded size.
TEST(RefinementReader, ReadsBothFilesOfAFolderOrSaysWhichIsWrong)
{
    scratch_dir dir;
    fs::create_directories("run/output");
    write_file("run/output/uncertainty.json", good_uncertainty);
    write_file("run/output/refined.txt", good_refined);
    refinement_files files;
    std::string why;
    ASSERT_TRUE(read_refinement_files("run", files, why)) << why;
    const uncertainty_record& u = files.uncertainty;
    EXPECT_EQ(u.nu, 297.0);
    EXPECT_EQ(u.threshold, 433.8588749);
    EXPECT_EQ(u.sigma_inflation, 1.161903733);
    EXPECT_EQ(u.ranges[model_param::x_shift].min, 0.8959316582);
    EXPECT_EQ(u.ranges[model_param::phi0_deg].max, 90.20959375);
    EXPECT_FALSE(u.ranges[model_param::z_scale_1].listed);
    EXPECT_EQ(u.jackknife_blocks, 3);
    EXPECT_EQ(u.jackknife[model_param::x_shift].spread, 0.001507005717);
    EXPECT_FALSE(u.jackknife[model_param::phi0_deg].listed);
    EXPECT_EQ(u.at_bound, std::vector<int>{model_param::y_scale_1});
    EXPECT_EQ(files.refined.rows.size(), 2u);

    write_file("run/output/refined.txt", good_refined + std::string(max_refined_bytes, '#'));
    EXPECT_FALSE(read_refinement_files("run", files, why));
    EXPECT_NE(why.find("run/output/refined.txt: larger than"), std::string::npos) << why;
    fs::remove("run/output/refined.txt");
    EXPECT_FALSE(read_refinement_files("run", files, why));
    EXPECT_EQ(why, "run/output/refined.txt not found");
    fs::remove("run/output/uncertainty.json");
    fs::create_directory("run/output/uncertainty.json");
    EXPECT_FALSE(read_refinement_files("run", files, why));
    EXPECT_NE(why.find("run/output/uncertainty.json: not a regular file"), std::string::npos) << why;
}
