#include <gtest/gtest.h>

#include <filesystem>

#include "common/control_ids.hpp"
#include "support/pipeline.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/controller.hpp"
#include "workflow/fields.hpp"

namespace {

struct LoadCommand : ::testing::Test {
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    void SetUp() override
    {
        on_init(app, &ui);
        write_file("obs.txt", small_observation_file(40));
        ui.set_field(ctl::subdivisions, "1");
        ASSERT_TRUE(on_command(app, ctl::generate_geosphere).done);
        ui.set_field(ctl::path, "obs.txt");
        ui.clear_calls();
    }
    // Loads with one field changed; true when the command completed.
    bool load_with(int id, const std::string& text)
    {
        ui.set_field(id, text);
        const bool done = on_command(app, ctl::load_lightcurve).done;
        ui.set_field(id, [&] {
            for (const auto& [field, value] : default_field_texts())
                if (field == id) return value;
            return std::string();
        }());
        ui.set_field(ctl::path, "obs.txt");
        return done;
    }
};

}  // namespace

TEST_F(LoadCommand, DefaultsLoadAndUnlockTheSweep)
{
    ASSERT_TRUE(on_command(app, ctl::load_lightcurve).done);
    EXPECT_TRUE(ui.enabled(ctl::generate_shapes));
    EXPECT_TRUE(ui.enabled(ctl::step_size));
    EXPECT_EQ(app.observations.count, 40);
    ASSERT_TRUE(app.reference);
    EXPECT_EQ(app.reference->times.size(), 150u);
    EXPECT_EQ(app.spin.lambda, 90 * 0.017453292519943295);
    EXPECT_EQ(app.spin.beta, 90 * 0.017453292519943295);
    EXPECT_EQ(app.spin.phi0, 90 * 0.017453292519943295);
    EXPECT_EQ(app.spin.period, 21.9 / 24);
    EXPECT_EQ(app.spin.t0, 0.0);
    EXPECT_TRUE(std::filesystem::exists("ref_lc.txt"));
    EXPECT_TRUE(std::filesystem::exists("ref_lc_interpolated.txt"));
    // Nothing is shown in the dialog by a successful load of a well-covered
    // lightcurve: its report is a note, which only the command line prints.
    for (const auto& c : ui.calls()) EXPECT_TRUE(c.op == "enable" || c.op == "note") << c.op << " " << c.text;
}

TEST_F(LoadCommand, RangesAtTheirEnds)
{
    EXPECT_TRUE(load_with(ctl::beta, "-90.0"));
    EXPECT_TRUE(load_with(ctl::beta, "90.0"));
    EXPECT_TRUE(load_with(ctl::lambda, "360"));
    EXPECT_TRUE(load_with(ctl::lambda, "0"));
    EXPECT_TRUE(load_with(ctl::phi0, "360"));
    EXPECT_TRUE(load_with(ctl::epoch, "2433283"));
    EXPECT_TRUE(load_with(ctl::epoch, "2524961"));
    EXPECT_TRUE(load_with(ctl::epoch, "0"));
    EXPECT_FALSE(load_with(ctl::lambda, "360.0001"));
    EXPECT_FALSE(load_with(ctl::lambda, "-0.5"));
    EXPECT_FALSE(load_with(ctl::beta, "90.0001"));
    EXPECT_FALSE(load_with(ctl::phi0, "361"));
    EXPECT_FALSE(load_with(ctl::epoch, "2433282.9999"));
    EXPECT_FALSE(load_with(ctl::epoch, "1"));
    EXPECT_FALSE(load_with(ctl::epoch, "2524961.5"));
    EXPECT_FALSE(load_with(ctl::period, "-1"));
    for (int id : {ctl::lambda, ctl::beta, ctl::phi0, ctl::period, ctl::epoch})
        EXPECT_FALSE(load_with(id, "nan")) << id;
}

TEST_F(LoadCommand, ZeroPeriodIsRefusedWithAReason)
{
    ui.set_field(ctl::period, "0");
    const command_outcome outcome = on_command(app, ctl::load_lightcurve);
    EXPECT_FALSE(outcome.done);
    EXPECT_NE(outcome.reason.find("period"), std::string::npos);
    EXPECT_FALSE(app.reference);
}

TEST_F(LoadCommand, RefusalsSayWhyAndKeepTheEarlierState)
{
    ASSERT_TRUE(on_command(app, ctl::load_lightcurve).done);
    const auto reference = app.reference;
    const spin_state spin = app.spin;
    const int32_t count = app.observations.count;
    std::filesystem::remove("ref_lc.txt");
    ui.clear_calls();

    // A word after the number refuses before the file is read.
    ui.set_field(ctl::path, "missing.txt");
    ui.set_field(ctl::lambda, "45 deg");
    command_outcome outcome = on_command(app, ctl::load_lightcurve);
    EXPECT_FALSE(outcome.done);
    EXPECT_NE(outcome.reason.find("longitude"), std::string::npos);
    ui.set_field(ctl::lambda, "45");
    outcome = on_command(app, ctl::load_lightcurve);
    EXPECT_FALSE(outcome.done);
    EXPECT_NE(outcome.reason.find("missing.txt"), std::string::npos) << outcome.reason;

    // A malformed file refuses too.
    write_file("bad.txt", "1\n3 0\n1 2 3 4 5 6 7\n");
    ui.set_field(ctl::path, "bad.txt");
    EXPECT_FALSE(on_command(app, ctl::load_lightcurve).done);

    // Each refusal says why on the status line, and changes nothing else.
    for (const auto& c : ui.calls()) EXPECT_TRUE(c.op == "text" && c.id == ctl::status_line) << c.op;
    EXPECT_EQ(ui.text_of(ctl::status_line).rfind("bad.txt:4: missing point line", 0), 0u)
        << ui.text_of(ctl::status_line);
    EXPECT_EQ(app.reference, reference);
    EXPECT_EQ(app.spin.lambda, spin.lambda);
    EXPECT_EQ(app.observations.count, count);
    EXPECT_FALSE(std::filesystem::exists("ref_lc.txt"));
}

TEST_F(LoadCommand, ReferenceFilesThatCannotBeCreatedKeepTheNewReference)
{
    std::filesystem::create_directory("ref_lc.txt");
    ui.set_field(ctl::lambda, "45");
    EXPECT_FALSE(on_command(app, ctl::load_lightcurve).done);
    EXPECT_TRUE(app.reference);
    EXPECT_EQ(app.spin.lambda, 45 * 0.017453292519943295);
    EXPECT_FALSE(ui.enabled(ctl::generate_shapes));
    EXPECT_TRUE(std::filesystem::exists("ref_lc_interpolated.txt"));
}

TEST_F(LoadCommand, LongPathIsTakenWhole)
{
    const std::string dir_name(150, 'd');
    std::filesystem::create_directories(dir_name + "/" + dir_name);
    const std::string path = dir_name + "/" + dir_name + "/obs.txt";
    write_file(path, small_observation_file(12));
    ui.set_field(ctl::path, path);
    ASSERT_TRUE(on_command(app, ctl::load_lightcurve).done);
    EXPECT_EQ(app.observations.count, 12);
}
