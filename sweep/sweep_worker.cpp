#include "sweep/sweep_worker.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// One vertex array of the walk.
using vertex_array = std::vector<vec3>;

// How a walk ended early.
enum class early_end { none, cancelled, no_memory, refused };

// The sweep's side of the grid walk: one fresh working copy per value of
// levels 1 to 5 (copy 0 is the base copy), the cancel check at level 4,
// progress after each level-2 value and one evaluation per shape.
struct sweep_visitor {
    const sweep_args& args;
    sweep_context& ctx;
    shape_result* table;
    int64_t progress_steps;        // P
    vertex_array copies[6];        // base copy, then levels 1 to 5
    int32_t shapes = 0;            // shape counter
    int64_t progress = 0;          // level-2 values finished
    early_end ended = early_end::none;

    bool enter(int level, const double* p)
    {
        // Levels 1 and 2 scale body 1 (y, z); levels 3 to 5 body 2 (x, y, z).
        static constexpr double vec3::*const axes[6] = {nullptr, &vec3::y, &vec3::z, &vec3::x, &vec3::y, &vec3::z};
        const int32_t half = args.vertex_count / 2;
        const int32_t begin = level <= 2 ? 0 : half;
        const int32_t end = level <= 2 ? half : args.vertex_count;
        vertex_array& to = copies[level];
        try {
            to = copies[level - 1];
        } catch (const std::bad_alloc&) {
            ended = early_end::no_memory;
            return false;
        }
        const double factor = p[level];
        double vec3::*axis = axes[level];
        for (int32_t k = begin; k < end; ++k) {
            vec3& v = to[static_cast<std::size_t>(k)];
            v.*axis = v.*axis * factor;
        }
        if (level == 4 && ctx.cancel->load() != 0) {
            ctx.cancel->store(0);
            ended = early_end::cancelled;
            return false;
        }
        return true;
    }

    bool shape(const double* p)
    {
        ++shapes;
        shape_job job = args.job;
        job.vertices = copies[5].data();
        job.shape_number = shapes;
        for (int i = 0; i < param::count; ++i) job.shape_params[i] = p[i];
        if (args.thread_count != 1) {
            ctx.ui->message_box("not supported yet", "Error", box_icon::information);
            ended = early_end::refused;
            return false;
        }
        // A row whose evaluation fails keeps its parameters and NaN.
        shape_result& row = table[shapes - 1];
        for (int i = 0; i < param::count; ++i) row.shape_params[i] = p[i];
        row.misfit = std::nan("");
        row.best_shift = std::nan("");
        eval_shape(job, table, ctx.ui);
        return true;
    }

    bool leave(int level)
    {
        vertex_array().swap(copies[level]);
        if (level == 2) {
            ++progress;
            ctx.ui->set_progress(
                static_cast<int>(static_cast<double>(progress) / static_cast<double>(progress_steps) * 100.0));
        }
        return true;
    }
};

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
    sweep_visitor walk{args, context, table.data(), progress_steps, {}};
    try {
        walk.copies[0].assign(args.vertices, args.vertices + args.vertex_count);
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

    walk_grid(args.step, walk);
    const early_end ended = walk.ended;
    for (vertex_array& copy : walk.copies) vertex_array().swap(copy);

    if (ended != early_end::none) {
        context.result_table->store(nullptr);
        if (ended == early_end::cancelled || ended == early_end::no_memory) {
            ui.set_progress(0);
            ui.set_item_text(ctl::status_line, ended == early_end::cancelled ? "aborted by user" : "memory leak");
        }
        return 0;
    }

    const bool written = write_summary("output/main.txt", table.data(), walk.shapes);
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
                  walk.shapes, seconds, static_cast<double>(walk.shapes) / timed);
    ui.set_item_text(ctl::status_line, text);
    std::snprintf(text, sizeof text, "Step Size: %f", args.step);
    ui.set_item_text(ctl::step_size_label, text);
    return 1;
}
