#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/control_ids.hpp"
#include "support/pipeline.hpp"
#include "support/recording_front_end.hpp"
#include "support/run_files.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"
#include "workflow/controller.hpp"

namespace fs = std::filesystem;

namespace {

const std::string cli = MORVANE_CLI;

// A summary row: shape number and misfit.
struct ranked {
    int shape = 0;
    double misfit = INFINITY;
};

// The row of output/main.txt with the lowest misfit, and shape k's misfit.
ranked best_row(int k, double& misfit_of_k)
{
    ranked best;
    for (const auto& row : read_lines("output/main.txt")) {
        int shape = 0;
        double p[7], shift, misfit;
        if (std::sscanf(row.c_str(), "%d %lf %lf %lf %lf %lf %lf %lf %lf %lf", &shape, &p[0], &p[1], &p[2], &p[3],
                        &p[4], &p[5], &p[6], &shift, &misfit) != 10)
            continue;
        if (shape == k) misfit_of_k = misfit;
        if (misfit < best.misfit) best = {shape, misfit};
    }
    return best;
}

// The command line over `path` with n subdivisions, the step and options.
int sweep(const std::string& path, int n, const std::string& step, const std::string& more, std::string& out)
{
    return run_command(cli + " --path " + path + " --subdivisions " + std::to_string(n) + " --step " + step +
                           " --threads 2 " + more,
                       out);
}

// The expected summary the range fit gave before fit modes and joint fits.
std::string expected(const std::string& name)
{
    return read_file(std::string(MORVANE_SOURCE_DIR) + "/tests/app/cli/expected/" + name);
}

}  // namespace

TEST(FitModes, RangeStaysByteIdenticalAndOneBlockOfAJointFitEqualsIt)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(sweep(data_file("test.zel"), 2, "0.3", "", out), 0) << out;
    EXPECT_EQ(read_file("output/main.txt"), expected("test_zel_n2_step03.main.txt"));
    const std::string kleopatra = data_file("kleopatra_lc.txt") +
                                  " --lambda 73.0895 --beta 20.1825 --period 5.38528201 --t0 2444502.76914 --phi0 0";
    for (const char* form : {"--block 54", "--blocks 54", "--blocks 54 --fit range"}) {
        fs::remove_all("output");
        ASSERT_EQ(sweep(kleopatra, 2, "0.3", form, out), 0) << form << "\n" << out;
        EXPECT_EQ(read_file("output/main.txt"), expected("kleopatra_block54_n2_step03.main.txt")) << form;
        EXPECT_EQ(read_lines("output/fits.csv").size(), 121u) << form;
    }
}

TEST(FitModes, OffsetKeepsTheAmplitudeThatRangeThrowsAway)
{
    scratch_dir dir;
    // data/test.zel with every intensity cubed: three times the amplitude.
    std::string cubed;
    for (const auto& line : read_lines(data_file("test.zel"))) {
        double v[8];
        if (std::sscanf(line.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                        &v[6], &v[7]) == 8) {
            char text[400];
            std::snprintf(text, sizeof text, "%.8f %.17g %.8f %.8f %.8f %.8f %.8f %.8f\n", v[0], v[1] * v[1] * v[1],
                          v[2], v[3], v[4], v[5], v[6], v[7]);
            cubed += text;
        } else {
            cubed += line + "\n";
        }
    }
    write_file("cubed.zel", cubed);
    std::string out;
    double generating = NAN;
    // The generating shape, 7 of the step-0.5 grid at n = 3.
    ASSERT_EQ(sweep(data_file("test.zel"), 3, "0.5", "--fit offset", out), 0) << out;
    EXPECT_EQ(best_row(7, generating).shape, 7);
    EXPECT_LT(generating, 1e-10);
    ASSERT_EQ(sweep("cubed.zel", 3, "0.5", "--fit range", out), 0) << out;
    EXPECT_EQ(best_row(7, generating).shape, 7);  // range cannot tell the cubed curve apart
    EXPECT_LT(generating, 1e-3);
    ASSERT_EQ(sweep("cubed.zel", 3, "0.5", "--fit offset", out), 0) << out;
    best_row(7, generating);
    EXPECT_GT(generating, 1e-3);  // offset can
}

TEST(JointFit, SeveralGeometriesFindTheShapeThatOneCannot)
{
    // data/twin_three_geometries.zel: shape 167 of the step-0.25 grid seen
    // from 85, 30 and -10 degrees of latitude; the first, nearly pole-on,
    // block alone cannot tell the shape.
    scratch_dir dir;
    std::string out;
    double generating = NAN;
    ASSERT_EQ(sweep(data_file("twin_three_geometries.zel"), 2, "0.25", "--fit offset --block 0", out), 0) << out;
    EXPECT_NE(best_row(167, generating).shape, 167);
    ASSERT_EQ(sweep(data_file("twin_three_geometries.zel"), 2, "0.25", "--fit offset --blocks all", out), 0) << out;
    EXPECT_EQ(best_row(167, generating).shape, 167);
    // Every shape has its samples of every block, and every block its fit.
    EXPECT_EQ(read_lines("output/00167.lc.txt").size(), 450u);
    EXPECT_EQ(read_lines("ref_lc_interpolated.txt").size(), 450u);
    const auto fits = read_lines("output/fits.csv");
    ASSERT_EQ(fits.size(), 1u + 280u * 3u);
    EXPECT_EQ(fits[0], "shape,block,shift,misfit");
    EXPECT_EQ(fits[1].rfind("1,0,", 0), 0u);
    EXPECT_EQ(fits[3].rfind("1,2,", 0), 0u);
    // The joint misfit is the mean of the blocks'.
    double sum = 0.0;
    for (int b = 0; b < 3; ++b) {
        int shape, block;
        double shift, misfit;
        ASSERT_EQ(std::sscanf(fits[static_cast<std::size_t>(166 * 3 + 1 + b)].c_str(), "%d,%d,%lf,%lf", &shape, &block,
                              &shift, &misfit),
                  4);
        EXPECT_EQ(shape, 167);
        sum += misfit;
    }
    EXPECT_NEAR(sum / 3, generating, 2e-6);
    // A load report line per block.
    EXPECT_NE(out.find("lightcurve 2: 100 points over 21.900 h (1.000 rotation periods), phase angle 90.0 to 90.0"),
              std::string::npos)
        << out;
}

TEST(JointFit, BlockListsAreCheckedBeforeAnyWork)
{
    scratch_dir dir;
    std::string out;
    for (const char* list : {"1-", "x", "3,", "5"}) {
        EXPECT_EQ(sweep(data_file("twin_three_geometries.zel"), 1, "1", std::string("--blocks ") + list, out), 2)
            << list << "\n"
            << out;
        EXPECT_FALSE(fs::exists("basic_shape_1.obj")) << list;
    }
    EXPECT_EQ(sweep(data_file("twin_three_geometries.zel"), 1, "1", "--blocks 0 --block 0", out), 2) << out;
    EXPECT_EQ(sweep(data_file("test.zel"), 1, "1", "--fit best", out), 105) << out;  // CLI11's own refusal
}

TEST(Guards, WarnWithoutStoppingAndStaySilentOnTheSample)
{
    scratch_dir dir;
    write_file("five.zel", small_observation_file(5));
    const struct {
        const char* name;
        std::string path;
        std::string period;
        const char* blocks;
        const char* warning;  // "" for none
    } cases[] = {
        {"the sample", data_file("test.zel"), "21.9", "", ""},
        {"more than 1.1 periods", data_file("test.zel"), "10", "", "spans 2.19 rotation periods"},
        {"under a third of a period", data_file("test.zel"), "100", "", "spans only 0.22 of a rotation period"},
        {"fewer than 10 points", "five.zel", "24", "", "holds only 5 points"},
        {"a whole file over many periods", data_file("twin_three_geometries.zel"), "21.9", "",
         "choose its lightcurves with --blocks"},
        {"each block of a joint fit", data_file("twin_three_geometries.zel"), "21.9", "all", ""},
    };
    for (const auto& c : cases) {
        recording_front_end ui;
        app_state app;
        on_init(app, &ui);
        ui.set_field(ctl::period, c.period);
        ui.set_field(ctl::blocks, c.blocks);
        ASSERT_TRUE(geosphere_and_load(app, ui, 1, c.path)) << c.name;
        const auto warnings = ui.texts_of("warning");
        if (std::string(c.warning).empty()) {
            EXPECT_TRUE(warnings.empty()) << c.name << ": " << (warnings.empty() ? "" : warnings[0]);
        } else {
            ASSERT_EQ(warnings.size(), 1u) << c.name;
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << c.name << ": " << warnings[0];
        }
        EXPECT_FALSE(ui.texts_of("note").empty()) << c.name;
    }
    // The command line prints them on stderr and goes on.
    std::string out;
    EXPECT_EQ(run_command("{ " + cli + " --path " + data_file("test.zel") +
                              " --subdivisions 1 --period 10 2>&1 >/dev/null; }",
                          out),
              0);
    EXPECT_NE(out.find("warning: the whole file spans 2.19 rotation periods"), std::string::npos) << out;
}

TEST(JointFit, AResumedJointFitWritesTheSameFits)
{
    // Each block's fits of the finished shapes come back from the journal.
    const std::string options = "--fit offset --blocks 0-2";
    std::string out;
    scratch_dir whole;
    ASSERT_EQ(sweep(data_file("twin_three_geometries.zel"), 2, "0.25", options, out), 0) << out;
    const std::string fits = read_file("output/fits.csv");
    const std::string summary = read_file("output/main.txt");
    scratch_dir dir;
    const pid_t run = start_command(cli + " --path " + data_file("twin_three_geometries.zel") +
                                    " --subdivisions 2 --step 0.25 --threads 2 " + options + " >/dev/null 2>&1");
    while (journal_rows("output/journal.txt") < 60) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(run, SIGKILL);
    wait_command(run);
    ASSERT_LT(journal_rows("output/journal.txt"), 280u);
    ASSERT_EQ(sweep(data_file("twin_three_geometries.zel"), 2, "0.25", options + " --resume", out), 0) << out;
    EXPECT_EQ(read_file("output/fits.csv"), fits);
    EXPECT_EQ(read_file("output/main.txt"), summary);
}
