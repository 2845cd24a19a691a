#include "workflow/controller.hpp"

#include <cstdio>
#include <new>

#include "common/control_ids.hpp"
#include "mesh/base_shape.hpp"
#include "mesh/twin_shape.hpp"
#include "workflow/preflight.hpp"

app_state::~app_state()
{
    if (worker.joinable()) worker.join();
}

folder_hold::folder_hold(app_state& app) : app_(app)
{
    // A follower rank writes none of the folder's shared files.
    if (app.lock.held() || app.share.follower) return;
    taken_ = app.lock.acquire(why);
}

folder_hold::~folder_hold()
{
    if (taken_) app_.lock.release();
}

void on_init(app_state& app, status_ops* target)
{
    app.target = target;
    app.cancel.store(0);
}

bool is_close_command(int id)
{
    return id == ctl::ok || id == ctl::close;
}

namespace {

// Runs the command of control `id`.
command_outcome dispatch(app_state& app, int id)
{
    switch (id) {
    case ctl::generate_geosphere: return generate_geosphere(app);
    case ctl::load_lightcurve: return load_lightcurve(app);
    case ctl::generate_shapes: return generate_shapes(app);
    case ctl::cancel: cancel_sweep(app); return {true, ""};
    case ctl::ok:
    case ctl::close: return {true, ""};  // the front end ends the dialog
    default: return {false, ""};
    }
}

}  // namespace

command_outcome on_command(app_state& app, int id)
{
    // The entry of every command on the front end's thread: out of memory
    // anywhere below fails the command here, with the previous state kept.
    try {
        return dispatch(app, id);
    } catch (const std::bad_alloc&) {
        return refuse_visibly(app, "not enough memory for this step: the previous results are kept", true);
    }
}

void cancel_sweep(app_state& app)
{
    app.cancel.store(1);
}

void wait_for_sweep(app_state& app)
{
    if (app.worker.joinable()) app.worker.join();
}

command_outcome generate_geosphere(app_state& app)
{
    status_ops& ui = *app.target;
    int n = 0;
    const command_outcome checked = check_geosphere_fields(app, n);
    if (!checked.done) return checked;
    const folder_hold hold(app);
    if (hold.refused()) return refuse_visibly(app, hold.why);

    app.text_buffer = "generating basic-mesh...";
    ui.set_item_text(ctl::status_line, app.text_buffer);
    app.geosphere_start_ms = clock_ms();

    const std::shared_ptr<const mesh> twin = build_base_mesh(n);
    if (!twin) {
        char text[200];
        std::snprintf(text, sizeof text, "not enough memory for %i subdivisions: the previous basic-shape is kept", n);
        app.text_buffer = text;
        return refuse_visibly(app, app.text_buffer, true);
    }
    app.base = twin;
    app.subdivisions = n;

    std::string why;
    if (!app.share.follower && !write_obj(*twin, n, why)) {
        app.text_buffer = why;
        return refuse_visibly(app, app.text_buffer, true);
    }

    app.geosphere_end_ms = clock_ms();
    app.geosphere_seconds = static_cast<double>(app.geosphere_end_ms - app.geosphere_start_ms) / 1000.0;
    char text[200];
    std::snprintf(text, sizeof text, "generated basic-shape with %i facets and %i vertices in %2.1f seconds",
                  twin->facet_count * 2, twin->vertex_count, app.geosphere_seconds);
    app.text_buffer = text;
    ui.set_item_text(ctl::status_line, app.text_buffer);
    std::snprintf(text, sizeof text, "Subdivisions: %i", n);
    ui.set_item_text(ctl::subdivisions_label, text);
    ui.enable_item(ctl::load_lightcurve);
    ui.enable_item(ctl::path);
    return {true, ""};
}
