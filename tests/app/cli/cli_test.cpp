#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "support/pipeline.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace {

// Runs a shell command line; returns its exit code and captures its output.
int run(const std::string& command, std::string& output)
{
    return run_command(command, output);
}

const std::string cli = MORVANE_CLI;

}  // namespace

TEST(CommandLine, RefusalsNameTheirReasonAndFail)
{
    scratch_dir dir;
    std::string out;
    EXPECT_EQ(run(cli + " --subdivisions 0", out), 2);
    EXPECT_NE(out.find("subdivision"), std::string::npos) << out;
    EXPECT_EQ(run(cli + " --subdivisions 1 --path nowhere.zel", out), 2);
    EXPECT_NE(out.find("nowhere.zel"), std::string::npos) << out;
    write_file("short.zel", "1\n5 0\n2451545 1 1 0 0 0 1 0\n");
    EXPECT_EQ(run(cli + " --subdivisions 1 --path short.zel", out), 2);
    EXPECT_NE(out.find("short.zel"), std::string::npos) << out;
    EXPECT_EQ(run(cli + " --subdivisions 1 --path " + data_file("test.zel") + " --period 0", out), 2);
    EXPECT_NE(out.find("period"), std::string::npos) << out;
    EXPECT_EQ(run(cli + " --subdivisions 1 --path " + data_file("test.zel") + " --step 0", out), 2);
    EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
}

TEST(CommandLine, WholePipelinePrintsTheBestFits)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run(cli + " --subdivisions 1 --path " + data_file("test.zel") + " --step 0.5 --threads 1 --best 3", out),
              0)
        << out;
    EXPECT_NE(out.find("generated basic-shape with 160 facets and 240 vertices"), std::string::npos) << out;
    EXPECT_NE(out.find("generating and comparing 12 shapes..."), std::string::npos) << out;
    EXPECT_NE(out.find("progress 100%"), std::string::npos) << out;
    EXPECT_NE(out.find("Step Size: 0.500000"), std::string::npos) << out;
    EXPECT_NE(out.find("best-fitting shapes"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists("output/main.txt"));
    EXPECT_TRUE(std::filesystem::exists("basic_shape_1.obj"));
}

TEST(CommandLine, InterruptCancelsTheSweep)
{
    scratch_dir dir;
    std::string out;
    run("timeout -s INT 2 " + cli + " --subdivisions 3 --path " + data_file("test.zel") +
            " --step 0.3 --threads 1 --reference",
        out);
    EXPECT_NE(out.find("aborted by user"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists("output/main.txt"));
}

TEST(CommandLine, SynthWritesAReadableObservationFile)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run(cli + " synth --output s.zel --subdivisions 1 --points 40 --shape 1,1,0.6,0.3,0.15,0.4", out), 0)
        << out;
    EXPECT_EQ(run(cli + " --subdivisions 1 --path s.zel --until load", out), 0) << out;
    EXPECT_EQ(read_file("ref_lc.txt").size() > 0, true);
    EXPECT_NE(run(cli + " synth --points 1", out), 0);
}

TEST(CommandLine, SpinFileFolderAndVersion)
{
    scratch_dir dir;
    std::string out;
    ASSERT_EQ(run(cli + " --version", out), 0);
    EXPECT_EQ(out.rfind("morvane-cli ", 0), 0u) << out;
    // The spin file gives what the explicit options give, bit for bit.
    std::filesystem::create_directories("a");
    std::filesystem::create_directories("b");
    const std::string common = " --path " + data_file("hermione_lc.txt") + " --block 12 --subdivisions 1 --step 0.5";
    ASSERT_EQ(run(cli + " -C a" + common + " --spin " + data_file("hermione_spin.txt"), out), 0) << out;
    ASSERT_EQ(
        run(cli + " -C b" + common + " --lambda 3.2311 --beta 14.4211 --period 5.55087725 --t0 2443032.0 --phi0 0",
            out),
        0)
        << out;
    EXPECT_EQ(read_file("a/output/main.txt"), read_file("b/output/main.txt"));
    EXPECT_FALSE(read_file("a/output/main.txt").empty());
    const auto inputs = [](const std::string& manifest) {
        const std::string text = read_file(manifest);
        return text.substr(text.find("\"inputs\""), text.find("\"threads\"") - text.find("\"inputs\""));
    };
    EXPECT_EQ(inputs("a/output/run.json"), inputs("b/output/run.json"));
    // An option given explicitly wins over the file.
    ASSERT_EQ(
        run(cli + " -C a" + common + " --until load --spin " + data_file("hermione_spin.txt") + " --period 11.1", out),
        0)
        << out;
    EXPECT_NE(out.find("(0.484 rotation periods)"), std::string::npos) << out;
    EXPECT_EQ(run(cli + " -C nowhere --until geosphere", out), 2);
    EXPECT_NE(out.find("-C nowhere"), std::string::npos) << out;
}
