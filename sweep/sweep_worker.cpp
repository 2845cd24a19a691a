#include "sweep/sweep_worker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// One vertex array of the walk.
using vertex_array = std::vector<vec3>;

// How a walk ended early.
enum class early_end { none, cancelled, no_memory };

// Pre-fills a row with the shape's parameters and NaN for the fit, which a
// failed evaluation leaves in place.
void prefill_row(shape_result& row, const double* p)
{
    for (int i = 0; i < param::count; ++i) row.shape_params[i] = p[i];
    row.misfit = std::nan("");
    row.best_shift = std::nan("");
}

// The bar's position once `done` of `total` level-2 values are finished:
// the fraction first, then times 100, truncated.
int progress_percent(int64_t done, int64_t total)
{
    return static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
}

// The reference path's side of the grid walk: one fresh working copy per
// value of levels 1 to 5 (copy 0 is the base copy), the cancel check at
// level 4, progress after each level-2 value and one evaluation per shape.
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
        prefill_row(table[shapes - 1], p);
        eval_shape(job, table, ctx.ui);
        return true;
    }

    bool leave(int level)
    {
        vertex_array().swap(copies[level]);
        if (level == 2) {
            ++progress;
            ctx.ui->set_progress(progress_percent(progress, progress_steps));
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

// The shapes of one level-5 value: they share their deformed vertices.
struct shape_block {
    int32_t first_shape;  // 1-based
    int32_t count;
    int32_t group;        // 0-based level-2 value, for progress
};

// Lists the blocks of the grid in walk order and pre-fills every row.
struct block_planner {
    std::vector<shape_block>& blocks;
    shape_result* table;
    int32_t shapes = 0;
    int32_t group = 0;

    bool enter(int level, const double*)
    {
        if (level == 5) blocks.push_back({shapes + 1, 0, group});
        return true;
    }
    bool shape(const double* p)
    {
        prefill_row(table[shapes++], p);
        ++blocks.back().count;
        return true;
    }
    bool leave(int level)
    {
        if (level == 2) ++group;
        return true;
    }
};

// The walk with the reference evaluation, one shape after another.
early_end run_reference_walk(const sweep_args& args, shape_result* table, int64_t progress_steps,
                             sweep_context& context, int32_t& shapes)
{
    sweep_visitor walk{args, context, table, progress_steps, {}};
    try {
        walk.copies[0].assign(args.vertices, args.vertices + args.vertex_count);
    } catch (const std::bad_alloc&) {
        return early_end::no_memory;
    }
    walk_grid(args.step, walk);
    shapes = walk.shapes;
    return walk.ended;
}

// The fast path: the blocks of the grid are shared out among
// args.thread_count threads, which take the next block as they finish one.
// Every shape keeps its number, file and row, so the output is that of one
// thread. The cancel flag is checked before each block.
early_end run_fast_sweep(const sweep_args& args, shape_result* table, int64_t progress_steps,
                         sweep_context& context, int32_t& shapes)
{
    std::vector<vec3> base;
    std::vector<shape_block> blocks;
    std::vector<sample_view> views;
    std::vector<std::atomic<int32_t>> group_left;
    try {
        base.assign(args.vertices, args.vertices + args.vertex_count);
        block_planner planner{blocks, table};
        walk_grid(args.step, planner);
        shapes = planner.shapes;
        views = shared_sample_views(args.job);
        group_left = std::vector<std::atomic<int32_t>>(static_cast<std::size_t>(progress_steps));
    } catch (const std::bad_alloc&) {
        return early_end::no_memory;
    }
    for (const shape_block& b : blocks) ++group_left[static_cast<std::size_t>(b.group)];

    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> ended{static_cast<int>(early_end::none)};
    std::mutex progress_lock;
    int64_t groups_done = 0;

    auto work = [&]() {
        shape_scratch scratch;
        std::vector<vec3> deformed;
        shape_job job = args.job;
        while (!stop.load()) {
            if (context.cancel->load() != 0) {
                if (context.cancel->exchange(0) != 0) ended.store(static_cast<int>(early_end::cancelled));
                stop.store(true);
                return;
            }
            const std::size_t b = next.fetch_add(1);
            if (b >= blocks.size()) return;
            const shape_block& block = blocks[b];
            try {
                deform_vertices(base, table[block.first_shape - 1].shape_params, deformed);
            } catch (const std::bad_alloc&) {
                ended.store(static_cast<int>(early_end::no_memory));
                stop.store(true);
                return;
            }
            job.vertices = deformed.data();
            for (int32_t k = block.first_shape; k < block.first_shape + block.count; ++k) {
                job.shape_number = k;
                for (int i = 0; i < param::count; ++i) job.shape_params[i] = table[k - 1].shape_params[i];
                fast_eval_shape(job, views.data(), scratch, table, context.ui);
            }
            if (--group_left[static_cast<std::size_t>(block.group)] == 0) {
                std::lock_guard guard(progress_lock);
                ++groups_done;
                context.ui->set_progress(progress_percent(groups_done, progress_steps));
            }
        }
    };

    // Fewer threads when the system gives fewer: the output is the same.
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(static_cast<std::size_t>(std::max(0, args.thread_count - 1)));
        for (int32_t t = 1; t < args.thread_count; ++t) helpers.emplace_back(work);
    } catch (const std::exception&) {
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    return static_cast<early_end>(ended.load());
}

}  // namespace

uint32_t sweep_worker(sweep_args args, std::vector<shape_result> table, int64_t progress_steps,
                      sweep_context context)
{
    status_ops& ui = *context.ui;
    context.result_table->store(table.data());
    char text[200];
    std::snprintf(text, sizeof text, "generating and comparing %i shapes...", static_cast<int32_t>(table.size()));
    ui.set_item_text(ctl::status_line, text);
    const int64_t start = clock_ms();

    int32_t shapes = 0;
    const early_end ended = context.path == sweep_path::reference
                                ? run_reference_walk(args, table.data(), progress_steps, context, shapes)
                                : run_fast_sweep(args, table.data(), progress_steps, context, shapes);
    if (ended != early_end::none) {
        context.result_table->store(nullptr);
        ui.set_progress(0);
        ui.set_item_text(ctl::status_line, ended == early_end::cancelled ? "aborted by user" : "memory leak");
        return 0;
    }

    const bool written = write_summary("output/main.txt", table.data(), shapes);
    context.result_table->store(nullptr);
    std::vector<shape_result>().swap(table);
    if (!written) return 0;

    const int64_t end = clock_ms();
    const double seconds = static_cast<double>(end - start) / 1000.0;
    // A sweep faster than the clock's tick is timed as one tick, so that the
    // rate stays finite.
    const double timed = seconds > 0.0 ? seconds : 0.001;
    ui.set_progress(0);
    std::snprintf(text, sizeof text, "generated and compared %i shapes in %.3f seconds (%.3f shapes/sec)", shapes,
                  seconds, static_cast<double>(shapes) / timed);
    ui.set_item_text(ctl::status_line, text);
    std::snprintf(text, sizeof text, "Step Size: %f", args.step);
    ui.set_item_text(ctl::step_size_label, text);
    return 1;
}

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
