#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

#include "runs/run_manifest.hpp"
#include "support/scratch_dir.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// The record of a finished run of 12 shapes (step 0.5), as a sweep writes it.
run_manifest finished_run()
{
    run_manifest m;
    m.inputs.observation_file = "test.zel";
    m.inputs.observation_sha256 = std::string(64, 'a');
    m.inputs.lambda_deg = 90.0;
    m.inputs.beta_deg = 90.0;
    m.inputs.phi0_deg = 90.0;
    m.inputs.period_hours = 21.9;
    m.inputs.step = 0.5;
    m.inputs.subdivisions = 1;
    m.threads = 2;
    m.sweep_path = "fast";
    m.version = "0.1";
    m.shapes = 12;
    m.progress_steps = 3;
    m.finished_shapes = 12;
    m.started = "2024-01-01T00:00:00Z";
    m.ended = "2024-01-01T00:00:01Z";
    m.status = "complete";
    return m;
}

// `text` with its first `from` replaced by `to` (the test fails when there is none).
std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(ManifestReader, RefusesEveryFieldOfAnotherTypeOrOutOfRange)
{
    const std::string good = manifest_text(finished_run());
    struct hostile {
        const char* from;
        const char* to;
        const char* reason;  // part of the refusal; "" for a record that is read
    };
    const hostile cases[] = {
        {"\"shapes\": 12", "\"shapes\": 12", ""},
        {"\"shapes\": 12", "\"shapes\": 100000000000", "grid.shapes must be a whole number from 1 to 2147483647"},
        {"\"shapes\": 12", "\"shapes\": 1e11", "grid.shapes must be a whole number"},
        {"\"shapes\": 12", "\"shapes\": -1", "grid.shapes must be a whole number"},
        {"\"shapes\": 12", "\"shapes\": 18446744073709551615", "grid.shapes must be a whole number"},
        {"\"shapes\": 12", "\"shapes\": 300000000", "the grid of step 0.5 has 12 shapes in 3 progress steps"},
        {"\"progress_steps\": 3", "\"progress_steps\": 4", "has 12 shapes in 3 progress steps, not the 12 in 4"},
        {"\"shapes\": 12", "\"shapes\": \"12\"", "grid.shapes must be a whole number"},
        {"\"step\": 0.5", "\"step\": 1e-9", "has more than 2147483647 shapes"},
        {"\"step\": 0.5", "\"step\": 0", "inputs.step must be greater than 0"},
        {"\"step\": 0.5", "\"step\": 1e400", "number overflow"},
        {"\"fit\": \"range\"", "\"fit\": \"bogus\"", "inputs.fit \"bogus\" is not range, offset or chi2"},
        {"\"fit\": \"range\"", "\"fit\": 1", "inputs.fit must be a text"},
        // The chi2 fit's sigma: null when estimated, else above 0.
        {"\"fit\": \"range\"", "\"fit\": \"chi2\", \"sigma\": null", ""},
        {"\"fit\": \"range\"", "\"fit\": \"chi2\", \"sigma\": 0.02", ""},
        {"\"fit\": \"range\"", "\"fit\": \"chi2\"", "inputs.sigma is missing"},
        {"\"fit\": \"range\"", "\"fit\": \"chi2\", \"sigma\": 0", "inputs.sigma must be greater than 0"},
        {"\"fit\": \"range\"", "\"fit\": \"chi2\", \"sigma\": \"0.02\"", "inputs.sigma must be a finite number"},
        {"\"block\": null", "\"block\": 1.5", "inputs.block must be a whole number from 0"},
        {"\"block\": null", "\"block\": -2", "inputs.block must be a whole number from 0"},
        {"\"block\": null", "\"block\": 54", ""},
        {"\"subdivisions\": 1", "\"subdivisions\": 11", "inputs.subdivisions must be a whole number from 1 to 10"},
        {"\"threads\": 2", "\"threads\": 0", "threads must be a whole number from 1 to 50"},
        {"\"period_hours\": 21.9", "\"period_hours\": 0.0", "sidereal period"},
        {"\"lambda_deg\": 90.0", "\"lambda_deg\": 400.0", "pole longitude"},
        {"\"curves\": true", "\"curves\": \"yes\"", "inputs.curves must be true or false"},
        {"\"status\": \"complete\"", "\"status\": \"done\"", "status \"done\" is none of"},
        {"\"sweep_path\": \"fast\"", "\"sweep_path\": \"slow\"", "sweep_path \"slow\" is neither"},
        {"\"finished_shapes\": 12", "\"finished_shapes\": 13", "finished_shapes must be a whole number from 0 to 12"},
        {"\"version\": \"0.1\"", "\"version\": 1", "version must be a text"},
        {"\"reason\": null", "\"reason\": 5", "reason must be a text"},
        {"\"inputs\": {", "\"outputs\": {", "inputs is missing"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"shard\": {\"index\": 3, \"of\": 2}",
         "shard.index must be a whole number from 0 to 2"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"shard\": {\"index\": 1, \"of\": 2000000000}",
         "shard.of must be a whole number from 1 to 100000"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"shard\": 3", "shard must be an object"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"shard\": {\"index\": 0, \"of\": 3}", ""},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"ranks\": 0", "ranks must be a whole number"},
        {"{", "[", "is not a run manifest: [json.exception.parse_error"},
        // The refinement's record: optional, every field checked.
        {"\"ended\": \"2024-01-01T00:00:01Z\"",
         "\"ended\": \"x\", \"refinement\": {\"starts\": 3, \"subdivisions\": 2, \"spin_refined\": true, "
         "\"best_chi2\": 12.5, \"reduced_chi2\": 1.1, \"rms_mag\": null, \"evaluations\": 900}",
         ""},
        {"\"ended\": \"2024-01-01T00:00:01Z\"",
         "\"ended\": \"x\", \"refinement\": {\"starts\": 0, \"subdivisions\": 2, \"spin_refined\": true, "
         "\"best_chi2\": 12.5, \"reduced_chi2\": 1.1, \"rms_mag\": 0.01, \"evaluations\": 900}",
         "refinement.starts must be a whole number from 1"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"",
         "\"ended\": \"x\", \"refinement\": {\"starts\": 3, \"subdivisions\": 2, \"spin_refined\": true, "
         "\"best_chi2\": \"12\", \"reduced_chi2\": 1.1, \"rms_mag\": 0.01, \"evaluations\": 900}",
         "refinement.best_chi2 must be a finite number"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"refinement\": {\"starts\": 3}",
         "refinement.subdivisions is missing"},
        {"\"ended\": \"2024-01-01T00:00:01Z\"", "\"ended\": \"x\", \"refinement\": []", "refinement must be an object"},
    };
    for (const hostile& c : cases) {
        run_manifest m = finished_run();
        m.shapes = -5;  // to see that a refusal leaves the record alone
        std::string why;
        const bool read = parse_manifest(replaced(good, c.from, c.to), "run.json", m, why);
        if (*c.reason == '\0') {
            EXPECT_TRUE(read) << c.to << ": " << why;
            EXPECT_EQ(m.shapes, 12) << c.to;
        } else {
            EXPECT_FALSE(read) << c.to;
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.to << ": " << why;
            EXPECT_EQ(why.rfind("run.json", 0), 0u) << why;
            EXPECT_EQ(m.shapes, -5) << c.to;
        }
    }
}

// A refinement's record is written and read back as it was; a run without
// one writes no "refinement".
TEST(ManifestReader, TheRefinementRoundTrips)
{
    run_manifest m = finished_run();
    EXPECT_EQ(manifest_text(m).find("refinement"), std::string::npos);
    m.refinement = {4, 3, true, 812.25, 2.0625, 0.0125, 1234};
    run_manifest back;
    std::string why;
    ASSERT_TRUE(parse_manifest(manifest_text(m), "run.json", back, why)) << why;
    const refinement_record& r = back.refinement;
    EXPECT_EQ(r.starts, 4);
    EXPECT_EQ(r.subdivisions, 3);
    EXPECT_TRUE(r.spin);
    EXPECT_EQ(r.best_chi2, 812.25);
    EXPECT_EQ(r.reduced_chi2, 2.0625);
    EXPECT_EQ(r.rms_mag, 0.0125);
    EXPECT_EQ(r.evaluations, 1234);
}

// The load's warnings are written only when there are any, read back in
// order, and refused when they are not texts.
TEST(ManifestReader, TheLoadWarningsRoundTrip)
{
    run_manifest m = finished_run();
    EXPECT_EQ(manifest_text(m).find("load_warnings"), std::string::npos);
    m.load_warnings = {"lightcurve 0 spans 1.22 rotation periods", "lightcurve \"7\" holds only 3 points"};
    run_manifest back;
    std::string why;
    ASSERT_TRUE(parse_manifest(manifest_text(m), "run.json", back, why)) << why;
    EXPECT_EQ(back.load_warnings, m.load_warnings);
    for (const char* hostile : {"3", "[1]", "[\"a\", null]", "\"a\""}) {
        // The member's value replaced, wherever it stands in the text.
        const std::string text = manifest_text(m);
        const std::size_t from = text.find('[', text.find("\"load_warnings\""));
        const std::size_t to = text.find(']', from) + 1;
        std::string bad = text;
        bad.replace(from, to - from, hostile);
        EXPECT_FALSE(parse_manifest(bad, "run.json", back, why)) << hostile;
        EXPECT_NE(why.find("load_warnings must be an array of texts"), std::string::npos) << why;
    }
}

TEST(ManifestReader, TheGridSizeIsTheStepsForEveryStep)
{
    for (double step : {1.0, 0.5, 0.25, 0.1}) {
        run_manifest m = finished_run();
        const grid_count count = count_grid(step, INT32_MAX);
        m.inputs.step = step;
        m.shapes = count.shapes;
        m.progress_steps = count.progress_steps;
        m.finished_shapes = count.shapes;
        run_manifest back;
        std::string why;
        ASSERT_TRUE(parse_manifest(manifest_text(m), "run.json", back, why)) << step << ": " << why;
        EXPECT_EQ(manifest_text(back), manifest_text(m));
        // One shape more, or fewer, is not this step's grid.
        for (int64_t off : {-1, 1}) {
            m.shapes = count.shapes + off;
            EXPECT_FALSE(parse_manifest(manifest_text(m), "run.json", back, why)) << step << " " << off;
        }
    }
}

TEST(ManifestReader, RefusesWhatIsNoManifestFile)
{
    scratch_dir dir;
    std::filesystem::create_directory("folder.json");
    write_file("large.json", std::string(max_manifest_bytes + 1, ' '));
    write_file("deep.json", std::string(100000, '[') + std::string(100000, ']'));
    write_file("empty.json", "");
    struct hostile {
        const char* path;
        const char* reason;
    };
    const hostile cases[] = {
        {"missing.json", "missing.json not found"},
        {"folder.json", "cannot read folder.json: not a regular file"},
        {"large.json", "large.json is not a run manifest: it is larger than 1048576 bytes"},
        {"deep.json", "deep.json is not a run manifest: it nests deeper than a manifest does"},
        {"empty.json", "empty.json is not a run manifest: [json.exception.parse_error"},
    };
    for (const hostile& c : cases) {
        run_manifest m;
        std::string why;
        EXPECT_FALSE(read_manifest(c.path, m, why)) << c.path;
        EXPECT_EQ(why.rfind(c.reason, 0), 0u) << why;
    }
}

}  // namespace
