#include "sweep/sweep_worker.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "sweep/eval_shape.hpp"

namespace {

// One vertex array of the walk.
using vertex_array = std::vector<vec3>;

// The walk's state shared by its levels.
struct walk {
    const sweep_args& args;
    sweep_context& ctx;
    shape_result* table;
    int32_t half;            // body 1 is [0, half), body 2 [half, vertex_count)
    int32_t shapes = 0;      // shape counter
    int64_t progress = 0;    // level-2 values finished
    int64_t progress_steps;  // P
};

// How a walk ended early.
enum class early_end { none, cancelled, no_memory, refused };

// A fresh copy of `from` with `axis` of vertices [begin, end) multiplied by
// `factor`; false when the copy could not be allocated.
bool scaled_copy(const vertex_array& from, vertex_array& to, int32_t begin, int32_t end, double vec3::*axis,
                 double factor)
{
    try {
        to = from;
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int32_t k = begin; k < end; ++k) to[static_cast<std::size_t>(k)].*axis = to[static_cast<std::size_t>(k)].*axis * factor;
    return true;
}

// The level-6 values of one level-5 copy: one shape each.
early_end walk_shifts(walk& w, const vertex_array& level5, const double (&p)[param::count])
{
    shape_job job = w.args.job;
    const double x2 = p[param::x_scale_2];
    for (double shift = 1.0 - x2; shift <= 1.0 + x2; shift = shift + w.args.step) {
        ++w.shapes;
        job.vertices = level5.data();
        job.shape_number = w.shapes;
        for (int i = 0; i < param::x_shift; ++i) job.shape_params[i] = p[i];
        job.shape_params[param::x_shift] = shift;
        if (w.args.thread_count != 1) {
            w.ctx.ui->message_box("not supported yet", "Error", box_icon::information);
            return early_end::refused;
        }
        // A row whose evaluation fails keeps its parameters and NaN.
        shape_result& row = w.table[w.shapes - 1];
        for (int i = 0; i < param::count; ++i) row.shape_params[i] = job.shape_params[i];
        row.misfit = std::nan("");
        row.best_shift = std::nan("");
        eval_shape(job, w.table, w.ctx.ui);
    }
    return early_end::none;
}

// Levels 3 to 5 below one level-2 copy.
early_end walk_body2(walk& w, const vertex_array& level2, double (&p)[param::count])
{
    const int32_t begin = w.half;
    const int32_t end = w.args.vertex_count;
    const double step = w.args.step;
    for (double x2 = 0.1; x2 <= 1.0; x2 = x2 + step) {
        vertex_array level3;
        if (!scaled_copy(level2, level3, begin, end, &vec3::x, x2)) return early_end::no_memory;
        p[param::x_scale_2] = x2;
        for (double y2 = x2 * 0.5; y2 <= x2; y2 = y2 + step) {
            vertex_array level4;
            if (!scaled_copy(level3, level4, begin, end, &vec3::y, y2)) return early_end::no_memory;
            p[param::y_scale_2] = y2;
            if (w.ctx.cancel->load() != 0) {
                w.ctx.cancel->store(0);
                return early_end::cancelled;
            }
            for (double z2 = y2 * 0.5; z2 <= y2; z2 = z2 + step) {
                vertex_array level5;
                if (!scaled_copy(level4, level5, begin, end, &vec3::z, z2)) return early_end::no_memory;
                p[param::z_scale_2] = z2;
                early_end e = walk_shifts(w, level5, p);
                if (e != early_end::none) return e;
            }
        }
    }
    return early_end::none;
}

// Levels 1 and 2 over the base copy, with progress after each level-2 value.
early_end walk_grid(walk& w, const vertex_array& base)
{
    const double step = w.args.step;
    double p[param::count] = {1.0, 0, 0, 0, 0, 0, 0};
    for (double y1 = 0.5; y1 <= 1.0; y1 = y1 + step) {
        vertex_array level1;
        if (!scaled_copy(base, level1, 0, w.half, &vec3::y, y1)) return early_end::no_memory;
        p[param::y_scale_1] = y1;
        for (double z1 = y1 * 0.5; z1 <= y1; z1 = z1 + step) {
            early_end e;
            {
                vertex_array level2;
                if (!scaled_copy(level1, level2, 0, w.half, &vec3::z, z1)) return early_end::no_memory;
                p[param::z_scale_1] = z1;
                e = walk_body2(w, level2, p);
            }
            if (e != early_end::none) return e;
            ++w.progress;
            w.ctx.ui->set_progress(static_cast<int>(static_cast<double>(w.progress) /
                                                    static_cast<double>(w.progress_steps) * 100.0));
        }
    }
    return early_end::none;
}

// Formats one summary line: best_shift comes before misfit.
int format_summary_line(char* line, std::size_t size, int32_t k, const shape_result& row)
{
    const double* q = row.shape_params;
    return std::snprintf(line, size, "%i %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", k, q[0], q[1], q[2], q[3], q[4],
                         q[5], q[6], row.best_shift, row.misfit);
}

}  // namespace

bool write_summary(const char* path, const shape_result* rows, int32_t count)
{
    const std::string temporary = std::string(path) + ".part";
    std::FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out) return false;
    char line[512];
    bool ok = true;
    for (int32_t k = 1; k <= count; ++k) {
        int length = format_summary_line(line, sizeof line, k, rows[k - 1]);
        ok = ok && std::fwrite(line, 1, static_cast<std::size_t>(length), out) == static_cast<std::size_t>(length);
    }
    ok = (std::fclose(out) == 0) && ok;
    std::error_code error;
    if (ok) std::filesystem::rename(temporary, path, error);
    if (!ok || error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

uint32_t sweep_worker(sweep_args args, std::vector<shape_result> table, int64_t progress_steps,
                      sweep_context context)
{
    status_ops& ui = *context.ui;
    vertex_array base;
    try {
        base.assign(args.vertices, args.vertices + args.vertex_count);
    } catch (const std::bad_alloc&) {
        ui.set_item_text(ctl::status_line, "memory leak");
        return 0;
    }
    context.result_table->store(table.data());
    const int32_t shape_total = static_cast<int32_t>(table.size());
    char text[200];
    std::snprintf(text, sizeof text, "generating and comparing %i shapes...", shape_total);
    ui.set_item_text(ctl::status_line, text);
    const int64_t start = clock_ms();

    walk w{args, context, table.data(), args.vertex_count / 2, 0, 0, progress_steps};
    const early_end ended = walk_grid(w, base);
    vertex_array().swap(base);

    if (ended != early_end::none) {
        context.result_table->store(nullptr);
        if (ended == early_end::cancelled || ended == early_end::no_memory) {
            ui.set_progress(0);
            ui.set_item_text(ctl::status_line, ended == early_end::cancelled ? "aborted by user" : "memory leak");
        }
        return 0;
    }

    const bool written = write_summary("output/main.txt", table.data(), w.shapes);
    context.result_table->store(nullptr);
    std::vector<shape_result>().swap(table);
    if (!written) return 0;

    const int64_t end = clock_ms();
    const double seconds = static_cast<double>(end - start) / 1000.0;
    // A sweep faster than the clock's tick is timed as one tick, so that the
    // rate stays finite.
    const double timed = seconds > 0.0 ? seconds : 0.001;
    ui.set_progress(0);
    std::snprintf(text, sizeof text, "generated and compared %i shapes in %.3f seconds (%.3f shapes/sec)",
                  w.shapes, seconds, static_cast<double>(w.shapes) / timed);
    ui.set_item_text(ctl::status_line, text);
    std::snprintf(text, sizeof text, "Step Size: %f", args.step);
    ui.set_item_text(ctl::step_size_label, text);
    return 1;
}
