#include <gtest/gtest.h>

#include <filesystem>

#include "common/control_ids.hpp"
#include "support/failing_allocations.hpp"
#include "support/planted.hpp"
#include "support/printed.hpp"
#include "support/recording_front_end.hpp"
#include "support/scratch_dir.hpp"
#include "workflow/controller.hpp"

namespace {

// A controller with a recording front end in a scratch working directory.
struct controller_fixture : ::testing::Test {
    scratch_dir dir;
    recording_front_end ui;
    app_state app;
    void SetUp() override { on_init(app, &ui); }
};

using GeosphereCommand = controller_fixture;
using ControllerCommands = controller_fixture;

}  // namespace

TEST_F(GeosphereCommand, RefusedCountsDoNothing)
{
    for (const char* text : {"0", "11", "3x", "", "-1", "abc"}) {
        ui.set_field(ctl::subdivisions, text);
        EXPECT_FALSE(on_command(app, ctl::generate_geosphere).done) << text;
    }
    EXPECT_TRUE(ui.calls().empty());
    EXPECT_FALSE(app.base);
    EXPECT_FALSE(ui.enabled(ctl::load_lightcurve));
}

TEST_F(GeosphereCommand, OneSubdivision)
{
    ui.set_field(ctl::subdivisions, "1");
    ASSERT_TRUE(on_command(app, ctl::generate_geosphere).done);
    const auto calls = ui.calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0].text, "generating basic-mesh...");
    EXPECT_EQ(calls[0].id, ctl::status_line);
    EXPECT_TRUE(printed_by(calls[1].text, "generated basic-shape with 160 facets and 240 vertices in %2.1f seconds"))
        << calls[1].text;
    EXPECT_EQ(ui.text_of(ctl::subdivisions_label), "Subdivisions: 1");
    EXPECT_TRUE(ui.enabled(ctl::load_lightcurve));
    EXPECT_TRUE(ui.enabled(ctl::path));
    EXPECT_EQ(app.base->facet_count, 80);
    EXPECT_EQ(app.base->vertex_count, 240);
    EXPECT_TRUE(std::filesystem::exists("basic_shape_1.obj"));
}

TEST_F(GeosphereCommand, ThreeSubdivisionsAndAnEarlierMeshStaysValid)
{
    ui.set_field(ctl::subdivisions, "3");
    ASSERT_TRUE(on_command(app, ctl::generate_geosphere).done);
    EXPECT_NE(ui.text_of(ctl::status_line).find("2560 facets and 3840 vertices"), std::string::npos);
    EXPECT_EQ(app.base->facet_count, 1280);
    // A sweep holding the earlier mesh keeps it while a new one replaces it.
    std::shared_ptr<const mesh> held = app.base;
    ui.set_field(ctl::subdivisions, "1");
    ASSERT_TRUE(on_command(app, ctl::generate_geosphere).done);
    EXPECT_EQ(held->facet_count, 1280);
    EXPECT_EQ(held->vertices.size(), 3840u);
    EXPECT_EQ(app.base->facet_count, 80);
}

TEST_F(GeosphereCommand, ObjThatCannotBeCreatedEnablesNothing)
{
    // Whatever is not a regular file at the name stays as it was.
    for (planted what : {planted::folder, planted::fifo, planted::device, planted::link_to_fifo}) {
        SCOPED_TRACE(planted_name(what));
        scratch_dir here;
        if (!plant(what, "basic_shape_1.obj", "target")) continue;
        const std::string kind = file_kind("basic_shape_1.obj");
        ui.set_field(ctl::subdivisions, "1");
        ui.clear_calls();
        const command_outcome outcome = on_command(app, ctl::generate_geosphere);
        EXPECT_FALSE(outcome.done);
        EXPECT_TRUE(outcome.failed);
        ASSERT_TRUE(app.base);  // the new mesh is stored all the same
        EXPECT_EQ(app.base->facet_count, 80);
        // The status line names the file and why.
        EXPECT_EQ(ui.text_of(ctl::status_line), "basic_shape_1.obj: not a regular file");
        EXPECT_EQ(ui.text_of(ctl::subdivisions_label), "");
        EXPECT_FALSE(ui.enabled(ctl::load_lightcurve));
        EXPECT_FALSE(ui.enabled(ctl::path));
        EXPECT_EQ(file_kind("basic_shape_1.obj"), kind);
    }
}

TEST_F(ControllerCommands, InitCancelCloseAndUnknownIds)
{
    app.cancel.store(1);
    on_init(app, &ui);
    EXPECT_EQ(app.cancel.load(), 0);
    EXPECT_EQ(app.target, &ui);
    // Cancel with no sweep running leaves the flag set for the next sweep.
    on_command(app, ctl::cancel);
    EXPECT_EQ(app.cancel.load(), 1);
    EXPECT_TRUE(is_close_command(ctl::ok));
    EXPECT_TRUE(is_close_command(ctl::close));
    EXPECT_FALSE(is_close_command(ctl::cancel));
    EXPECT_TRUE(on_command(app, ctl::close).done);
    EXPECT_FALSE(on_command(app, 1046).done);  // an edit field's notification
    EXPECT_FALSE(on_command(app, 4242).done);
    EXPECT_TRUE(ui.calls().empty());
}

TEST_F(GeosphereCommand, OutOfMemoryKeepsThePreviousMesh)
{
    ui.set_field(ctl::subdivisions, "1");
    ASSERT_TRUE(on_command(app, ctl::generate_geosphere).done);
    const auto previous = app.base;
    ui.clear_calls();
    {
        // The third pass asks for 6 x 320 vertex records of 24 bytes.
        failing_allocations fail(6 * 320 * sizeof(vec3), 6 * 320 * sizeof(vec3));
        ui.set_field(ctl::subdivisions, "3");
        const command_outcome outcome = on_command(app, ctl::generate_geosphere);
        EXPECT_FALSE(outcome.done);
        EXPECT_NE(outcome.reason.find("not enough memory"), std::string::npos);
    }
    EXPECT_EQ(app.base, previous);
    EXPECT_EQ(ui.text_of(ctl::status_line), "not enough memory for 3 subdivisions: the previous basic-shape is kept");
    EXPECT_EQ(ui.text_of(ctl::subdivisions_label), "Subdivisions: 1");  // still the earlier mesh
    EXPECT_FALSE(std::filesystem::exists("basic_shape_3.obj"));
    for (const auto& c : ui.calls()) EXPECT_NE(c.op, "enable");
}

TEST_F(GeosphereCommand, AFolderHeldByAnotherRunIsRefusedBeforeAnyFileIsWritten)
{
    folder_lock other;
    std::string why;
    ASSERT_TRUE(other.acquire(why)) << why;
    ui.set_field(ctl::subdivisions, "1");
    const command_outcome outcome = on_command(app, ctl::generate_geosphere);
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.reason.rfind("another run (pid ", 0), 0u) << outcome.reason;
    EXPECT_EQ(ui.text_of(ctl::status_line), outcome.reason);
    EXPECT_FALSE(std::filesystem::exists("basic_shape_1.obj"));
    other.release();
    EXPECT_TRUE(on_command(app, ctl::generate_geosphere).done);
    EXPECT_TRUE(std::filesystem::exists("basic_shape_1.obj"));
    EXPECT_FALSE(app.lock.held());  // the command gave the folder back
}
