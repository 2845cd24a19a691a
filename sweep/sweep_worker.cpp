#include "sweep/sweep_worker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <new>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/checked_file.hpp"
#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_grid.hpp"

namespace {

// One vertex array of the walk.
using vertex_array = std::vector<vec3>;

// How a walk ended early.
enum class early_end { none, cancelled, failed };

// What the threads of one walk share about its end: the first failure
// wins, and `halt` tells every thread to stop, within a shape too.
struct walk_end {
    std::atomic<bool> halt{false};
    std::atomic<int> ended{static_cast<int>(early_end::none)};
    std::mutex lock;
    std::string reason;

    void fail(const std::string& why)
    {
        std::lock_guard guard(lock);
        if (static_cast<early_end>(ended.load()) == early_end::none) {
            reason = why;
            ended.store(static_cast<int>(early_end::failed));
        }
        halt.store(true);
    }
    // Honours the cancel flag if it is set: resets it, ends the walk.
    bool take_cancel(std::atomic<int32_t>& cancel)
    {
        if (cancel.load() == 0) return false;
        if (cancel.exchange(0) != 0) {
            int none = static_cast<int>(early_end::none);
            ended.compare_exchange_strong(none, static_cast<int>(early_end::cancelled));
        }
        halt.store(true);
        return true;
    }
    early_end how() const { return static_cast<early_end>(ended.load()); }
};

// The bar's position once `done` of `total` level-2 values are finished:
// the fraction first, then times 100, truncated.
int progress_percent(int64_t done, int64_t total)
{
    return static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
}

// Counts the shapes a sweep computes and tells the front end how far it is,
// at most twice a second, from whichever thread finishes a shape.
struct rate_meter {
    status_ops* ui;
    int64_t total;  // shapes this run computes
    std::atomic<int64_t>* remote = nullptr;  // shapes other ranks finished
    // A share of the grid moves the bar by shapes: its level-2 values are
    // never all computed here.
    bool bar_by_shapes = false;
    int64_t start_ms = clock_ms();
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> shown_ms{0};

    void add(int64_t shapes)
    {
        const int64_t now_done = (done += shapes) + (remote ? remote->load() : 0);
        const int64_t now = clock_ms();
        int64_t last = shown_ms.load();
        if (now - last < 500 || !shown_ms.compare_exchange_strong(last, now)) return;
        if (bar_by_shapes && total > 0) ui->set_progress(progress_percent(std::min(now_done, total), total));
        ui->show_rate(now_done, total, static_cast<double>(now - start_ms) / 1000.0);
    }
};

// The rows of the shapes of one block that this run finished, for the journal.
struct block_rows {
    std::vector<journal_row> rows;

    void add(int32_t shape, const shape_result& row, int64_t bytes, const shape_job& job)
    {
        rows.push_back({shape, row.misfit, row.best_shift, bytes, {}});
        if (job.block_fits && job.block_count > 1) {
            const block_fit* fits = job.block_fits + static_cast<std::size_t>(shape - 1) * job.block_count;
            rows.back().blocks.assign(fits, fits + job.block_count);
        }
    }
    // Appends them to the journal (when there is one) and starts afresh;
    // a failure ends the walk.
    bool flush(row_sink* journal, walk_end& end)
    {
        std::string why;
        const bool ok = !journal || rows.empty() || journal->append(rows.data(), rows.size(), why);
        rows.clear();
        if (!ok) end.fail(why);
        return ok;
    }
};

// Evaluates one shape with the chosen path, marks it finished and keeps its
// row for the journal; a failure or stop ends the walk.
template <class Evaluate>
bool run_shape(int32_t k, const shape_job& job, shape_result* table, uint8_t* finished, block_rows& rows,
               walk_end& end, std::atomic<int32_t>& cancel, rate_meter& meter, Evaluate evaluate)
{
    shape_outcome outcome;
    const stop_request stop{&cancel, &end.halt};
    if (evaluate(stop, outcome)) {
        finished[k - 1] = 1;
        meter.add(1);
        rows.add(k, table[k - 1], outcome.file_bytes, job);
        return true;
    }
    if (!outcome.stopped)
        end.fail(outcome.failure.empty() ? "shape " + std::to_string(k) + " could not be evaluated" : outcome.failure);
    else
        end.take_cancel(cancel);
    return false;
}

// Pre-fills a row with the shape's parameters and NaN for the fit, which a
// failed evaluation leaves in place.
void prefill_row(shape_result& row, const double* p)
{
    for (int i = 0; i < param::count; ++i) row.shape_params[i] = p[i];
    row.misfit = std::nan("");
    row.best_shift = std::nan("");
}


// The reference path's side of the grid walk: one fresh working copy per
// value of levels 1 to 5 (copy 0 is the base copy), the cancel check at
// level 4, progress after each level-2 value and one evaluation per shape
// not already finished; each level-5 value's rows go to the journal.
struct sweep_visitor {
    const sweep_args& args;
    sweep_context& ctx;
    shape_result* table;
    int64_t progress_steps;        // P
    walk_end& end;
    rate_meter& meter;
    vertex_array copies[6];        // base copy, then levels 1 to 5
    int32_t shapes = 0;            // shape counter
    int64_t progress = 0;          // level-2 values finished
    block_rows rows;

    bool enter(int level, const double* p)
    {
        // Levels 1 and 2 scale body 1 (y, z); levels 3 to 5 body 2 (x, y, z).
        static constexpr double vec3::*const axes[6] = {nullptr, &vec3::y, &vec3::z, &vec3::x, &vec3::y, &vec3::z};
        const int32_t half = args.vertex_count / 2;
        const int32_t begin = level <= 2 ? 0 : half;
        const int32_t stop = level <= 2 ? half : args.vertex_count;
        vertex_array& to = copies[level];
        try {
            to = copies[level - 1];
        } catch (const std::bad_alloc&) {
            ctx.ui->set_item_text(ctl::status_line, "memory leak");
            end.fail("not enough memory for the working copies of the grid walk");
            return false;
        }
        const double factor = p[level];
        double vec3::*axis = axes[level];
        for (int32_t k = begin; k < stop; ++k) {
            vec3& v = to[static_cast<std::size_t>(k)];
            v.*axis = v.*axis * factor;
        }
        if (level == 4 && end.take_cancel(*ctx.cancel)) return false;
        return true;
    }

    bool shape(const double* p)
    {
        const int32_t k = ++shapes;
        if (ctx.finished[static_cast<std::size_t>(k - 1)]) return true;
        shape_job job = args.job;
        job.vertices = copies[5].data();
        job.shape_number = k;
        for (int i = 0; i < param::count; ++i) job.shape_params[i] = p[i];
        if (run_shape(k, job, table, ctx.finished.data(), rows, end, *ctx.cancel, meter,
                      [&](const stop_request& stop, shape_outcome& outcome) {
                          return eval_shape(job, table, ctx.ui, &outcome, stop) == 1;
                      }))
            return true;
        rows.flush(ctx.journal, end);
        return false;
    }

    bool leave(int level)
    {
        vertex_array().swap(copies[level]);
        if (level == 5 && !rows.flush(ctx.journal, end)) return false;
        if (level == 2) {
            ++progress;
            ctx.ui->set_progress(progress_percent(progress, progress_steps));
        }
        return true;
    }
};

// Pre-fills every row with its shape's parameters, and those not finished
// with NaN for the fit, which a failed evaluation leaves in place.
struct row_filler {
    shape_result* table;
    const uint8_t* finished;
    int32_t shapes = 0;
    bool enter(int, const double*) { return true; }
    bool leave(int) { return true; }
    bool shape(const double* p)
    {
        shape_result& row = table[shapes];
        if (finished[shapes++])
            std::copy(p, p + param::count, row.shape_params);
        else
            prefill_row(row, p);
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

// The walk with the reference evaluation, one shape after another.
void run_reference_walk(const sweep_args& args, shape_result* table, int64_t progress_steps, sweep_context& context,
                        walk_end& end, rate_meter& meter)
{
    sweep_visitor walk{args, context, table, progress_steps, end, meter, {}, 0, 0, {}};
    try {
        walk.copies[0].assign(args.vertices, args.vertices + args.vertex_count);
    } catch (const std::bad_alloc&) {
        end.fail("not enough memory for the base copy of the grid walk");
        return;
    }
    walk_grid(args.step, walk);
}

// The fast path: the blocks of the grid are shared out among
// args.thread_count threads, which take the next block as they finish one.
// Every shape keeps its number, file and row, so the output is that of one
// thread. The cancel flag is checked before each block and each sample.
void run_fast_sweep(const sweep_args& args, shape_result* table, int64_t progress_steps, sweep_context& context,
                    walk_end& end, rate_meter& meter)
{
    std::vector<vec3> base;
    std::vector<grid_block> blocks;
    std::vector<sample_view> views;
    std::vector<std::atomic<int32_t>> group_left;
    try {
        base.assign(args.vertices, args.vertices + args.vertex_count);
        blocks = list_grid_blocks(args.step);
        views = shared_sample_views(args.job);
        group_left = std::vector<std::atomic<int32_t>>(static_cast<std::size_t>(progress_steps));
    } catch (const std::bad_alloc&) {
        end.fail("not enough memory to plan the sweep");
        return;
    }
    for (const grid_block& b : blocks) ++group_left[static_cast<std::size_t>(b.group)];

    std::atomic<std::size_t> next{0};
    std::mutex progress_lock;
    int64_t groups_done = 0;
    uint8_t* finished = context.finished.data();

    auto work = [&]() {
        shape_scratch scratch;
        std::vector<vec3> deformed;
        shape_job job = args.job;
        block_rows rows;
        while (!end.halt.load()) {
            if (end.take_cancel(*context.cancel)) return;
            const int64_t dealt = context.dealer ? context.dealer->next() : static_cast<int64_t>(next.fetch_add(1));
            if (dealt < 0 || dealt >= static_cast<int64_t>(blocks.size())) return;
            const grid_block& block = blocks[static_cast<std::size_t>(dealt)];
            const int32_t last = block.first_shape + block.count - 1;
            bool deformed_ready = false;
            for (int32_t k = block.first_shape; k <= last; ++k) {
                if (finished[k - 1]) continue;
                if (!deformed_ready) {
                    try {
                        deform_vertices(base, table[block.first_shape - 1].shape_params, deformed);
                    } catch (const std::bad_alloc&) {
                        end.fail("not enough memory to deform shape " + std::to_string(k));
                        return;
                    }
                    job.vertices = deformed.data();
                    deformed_ready = true;
                }
                job.shape_number = k;
                for (int i = 0; i < param::count; ++i) job.shape_params[i] = table[k - 1].shape_params[i];
                if (!run_shape(k, job, table, finished, rows, end, *context.cancel, meter,
                               [&](const stop_request& stop, shape_outcome& outcome) {
                                   return fast_eval_shape(job, views.data(), scratch, table, context.ui, outcome,
                                                          stop) == 1;
                               })) {
                    rows.flush(context.journal, end);
                    return;
                }
            }
            if (!rows.flush(context.journal, end)) return;
            if (--group_left[static_cast<std::size_t>(block.group)] == 0 && !context.dealer) {
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
}

// Whether any row holds a finite misfit.
bool any_finite_misfit(const std::vector<shape_result>& table)
{
    for (const shape_result& row : table)
        if (std::isfinite(row.misfit)) return true;
    return false;
}

}  // namespace

double time_per_shape(const sweep_args& args, int count)
{
    // The first shapes of the grid, computed in memory only.
    struct first_shapes {
        std::vector<std::array<double, param::count>> params;
        std::size_t wanted;
        bool enter(int, const double*) { return true; }
        bool leave(int) { return true; }
        bool shape(const double* p)
        {
            params.emplace_back();
            std::copy(p, p + param::count, params.back().begin());
            return params.size() < wanted;
        }
    } first{{}, static_cast<std::size_t>(std::max(count, 1))};
    try {
        walk_grid(args.step, first);
        const std::vector<vec3> base(args.vertices, args.vertices + args.vertex_count);
        const std::vector<sample_view> views = shared_sample_views(args.job);
        shape_scratch scratch;
        std::vector<vec3> deformed;
        shape_job job = args.job;
        const int64_t start = clock_ms();
        for (const auto& p : first.params) {
            deform_vertices(base, p.data(), deformed);
            job.vertices = deformed.data();
            std::copy(p.begin(), p.end(), job.shape_params);
            shape_outcome outcome;
            if (!fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) return 0.0;
        }
        const double seconds = static_cast<double>(clock_ms() - start) / 1000.0;
        return std::max(seconds, 0.001) / static_cast<double>(first.params.size());
    } catch (const std::bad_alloc&) {
        return 0.0;
    }
}

std::string sweep_failure_text(const std::string& reason)
{
    return "sweep failed: " + reason;
}

sweep_outcome sweep_worker(sweep_args args, std::vector<shape_result> table, int64_t progress_steps,
                           sweep_context context)
{
    status_ops& ui = *context.ui;
    sweep_outcome outcome;
    outcome.shapes = static_cast<int32_t>(table.size());
    context.result_table->store(table.data());
    char text[200];
    std::snprintf(text, sizeof text, "generating and comparing %i shapes...", outcome.shapes);
    ui.set_item_text(ctl::status_line, text);
    const int64_t start = clock_ms();

    walk_end end;
    if (!context.block_fits.empty()) args.job.block_fits = context.block_fits.data();
    try {
        context.finished.resize(table.size(), 0);
    } catch (const std::bad_alloc&) {
        end.fail("not enough memory to track the shapes of the sweep");
    }
    if (end.how() == early_end::none) {
        row_filler filler{table.data(), context.finished.data()};
        walk_grid(args.step, filler);
        int64_t to_compute = 0;
        for (uint8_t done : context.finished) to_compute += done ? 0 : 1;
        rate_meter meter{&ui, to_compute, context.remote_done, context.dealer != nullptr};
        if (context.path == sweep_path::reference)
            run_reference_walk(args, table.data(), progress_steps, context, end, meter);
        else
            run_fast_sweep(args, table.data(), progress_steps, context, end, meter);
    }
    // A walk that ended early here ends it everywhere; the other ranks'
    // rows are gathered whether this one's walk ended well or not.
    if (end.how() != early_end::none && context.dealer) context.dealer->stop_dealing();
    if (context.gather) {
        const std::string failure = context.gather(table.data(), context.finished.data(), args.job.block_fits);
        if (!failure.empty()) end.fail(failure);
    }
    for (uint8_t done : context.finished) outcome.finished += done;

    if (end.how() != early_end::none) {
        // What was finished stays readable without resuming.
        if (!context.partial_file.empty())
            write_summary(context.partial_file.c_str(), table.data(), outcome.shapes, context.finished.data());
        context.result_table->store(nullptr);
        ui.set_progress(0);
        if (end.how() == early_end::cancelled) {
            outcome.status = sweep_status::cancelled;
            ui.set_item_text(ctl::status_line, "aborted by user");
        } else {
            outcome.reason = end.reason;
            ui.show_error(sweep_failure_text(end.reason));
        }
        return outcome;
    }

    std::string why;
    // A share writes the rows it holds; the whole sweep writes every row.
    const uint8_t* only = context.share_only ? context.finished.data() : nullptr;
    bool written = context.table_file.empty() ||
                   write_summary(context.table_file.c_str(), table.data(), outcome.shapes, only, &why);
    if (written && !context.fits_file.empty() && !context.block_ids.empty() && !context.block_fits.empty())
        written = write_block_fits(context.fits_file.c_str(), context.block_fits.data(), outcome.shapes,
                                   context.block_ids, why, only);
    const bool fitted = context.share_only || any_finite_misfit(table);
    context.result_table->store(nullptr);
    if (context.rows_out && written && fitted)
        *context.rows_out = std::move(table);
    else
        std::vector<shape_result>().swap(table);
    if (!written || !fitted) {
        outcome.reason = !written ? why : "no shape got a finite misfit: check the spin state and the observations";
        ui.set_progress(0);
        ui.show_error(sweep_failure_text(outcome.reason));
        return outcome;
    }

    const int64_t stop = clock_ms();
    const double seconds = static_cast<double>(stop - start) / 1000.0;
    // A sweep faster than the clock's tick is timed as one tick, so that the
    // rate stays finite.
    const double timed = seconds > 0.0 ? seconds : 0.001;
    ui.set_progress(0);
    std::snprintf(text, sizeof text, "generated and compared %i shapes in %.3f seconds (%.3f shapes/sec)",
                  outcome.shapes, seconds, static_cast<double>(outcome.shapes) / timed);
    ui.set_item_text(ctl::status_line, text);
    std::snprintf(text, sizeof text, "Step Size: %f", args.step);
    ui.set_item_text(ctl::step_size_label, text);
    outcome.status = sweep_status::complete;
    return outcome;
}

bool write_block_fits(const char* path, const block_fit* fits, int32_t shapes, const std::vector<int32_t>& block_ids,
                      std::string& why, const uint8_t* only)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        out.printf("shape,block,shift,misfit\n");
        const std::size_t count = block_ids.size();
        for (int32_t k = 1; k <= shapes && out.error().empty(); ++k)
            for (std::size_t b = 0; b < count && (!only || only[k - 1]); ++b) {
                const block_fit& f = fits[static_cast<std::size_t>(k - 1) * count + b];
                out.printf("%i,%i,%lf,%lf\n", k, block_ids[b], f.best_shift, f.misfit);
            }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool write_summary(const char* path, const shape_result* rows, int32_t count, const uint8_t* only, std::string* why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        char line[512];
        for (int32_t k = 1; k <= count; ++k) {
            if (only && !only[k - 1]) continue;
            const int length = format_summary_line(line, sizeof line, k, rows[k - 1]);
            if (!out.write(line, static_cast<std::size_t>(length))) break;
        }
        out.close();
    }
    if (why) *why = out.error();
    return out.error().empty();
}
