#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "app/controller.hpp"
#include "app/fields.hpp"
#include "common/control_ids.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// Refuses with a text on the status line (the command line prints it too).
command_outcome refuse_visibly(app_state& app, const std::string& text)
{
    app.target->set_item_text(ctl::status_line, text);
    return {false, text};
}

}  // namespace

command_outcome generate_shapes(app_state& app)
{
    status_ops& ui = *app.target;
    double step = 0.0;
    if (!read_decimal_field(ui, ctl::step_size, step)) return {false, "the step size field must hold a single number"};
    app.step = step;
    int threads = 0;
    if (!ui.read_item_int(ctl::threads, threads)) return {false, "the thread count must be a whole number"};
    if (threads < 1 || threads > 50) return {false, "the thread count must lie between 1 and 50"};
    app.thread_count = threads;

    if (!app.base || !app.reference) return {false, "generate the geosphere and load a lightcurve first"};
    if (app.sweep_running.load()) return refuse_visibly(app, "a sweep is already running: cancel it or wait for it");
    if (!(step > 0.0) || std::isinf(step)) return refuse_visibly(app, "the step size must be a number greater than 0");

    const grid_count count = count_grid(step, INT_MAX);
    if (count.too_large) {
        char text[200];
        std::snprintf(text, sizeof text, "step size %g gives more than %i shapes: choose a larger step", step, INT_MAX);
        return refuse_visibly(app, text);
    }
    std::vector<shape_result> table;
    try {
        table.resize(static_cast<std::size_t>(count.shapes));
    } catch (const std::bad_alloc&) {
        char text[200];
        std::snprintf(text, sizeof text, "not enough memory for the result table of %lli shapes",
                      static_cast<long long>(count.shapes));
        return refuse_visibly(app, text);
    }
    std::error_code error;
    std::filesystem::create_directory("output", error);
    if (error || !std::filesystem::is_directory("output", error))
        return refuse_visibly(app, "cannot create the directory output in the working directory");

    // The previous worker has ended (one sweep at a time); reclaim its thread.
    wait_for_sweep(app);
    const sweep_spin spin{app.spin.lambda, app.spin.beta, app.spin.phi0, app.spin.t0, app.spin.period};
    app.args = make_sweep_args(app.base, app.reference, spin, app.step, app.thread_count);
    sweep_context context{&ui, &app.cancel, &app.result_table, app.path};
    app.sweep_running.store(true);
    try {
        app.worker = std::thread([&app, args = app.args, table = std::move(table), steps = count.progress_steps,
                                  context]() mutable {
            app.last_sweep_result.store(sweep_worker(std::move(args), std::move(table), steps, context));
            app.sweep_running.store(false);
        });
    } catch (const std::system_error&) {
        app.sweep_running.store(false);
        return refuse_visibly(app, "cannot start the sweep thread");
    }
    return {true, ""};
}
