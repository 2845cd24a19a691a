#include "sweep/run_sweep.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "common/clock.hpp"
#include "common/control_ids.hpp"
#include "common/handles.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"

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
    bool out_of_memory = false;  // the failure was an allocation

    void fail(const std::string& why, bool memory = false)
    {
        std::lock_guard guard(lock);
        if (static_cast<early_end>(ended.load()) == early_end::none) {
            reason = why;
            out_of_memory = memory;
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
    int64_t total;                           // shapes this run computes
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

    void add(int32_t shape, const shape_result& row, const shape_outcome& file, const shape_job& job)
    {
        rows.push_back({shape, row.misfit, row.best_shift, file.file_bytes, file.file_checksum, {}});
        // The chi2 fit's rows always carry their blocks: the zero points are
        // not in the shape's own row.
        if (job.block_fits && (job.block_count > 1 || job.fit == fit_mode::chi2)) {
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
bool run_shape(int32_t k, const shape_job& job, shape_result* table, uint8_t* finished, block_rows& rows, walk_end& end,
               std::atomic<int32_t>& cancel, rate_meter& meter, Evaluate evaluate)
{
    shape_outcome outcome;
    const stop_request stop{&cancel, &end.halt};
    if (evaluate(stop, outcome)) {
        finished[k - 1] = 1;
        meter.add(1);
        rows.add(k, table[k - 1], outcome, job);
        return true;
    }
    if (!outcome.stopped)
        end.fail(outcome.failure.empty() ? "shape " + std::to_string(k) + " could not be evaluated" : outcome.failure,
                 outcome.out_of_memory);
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

// What both walks share: the request's rows and flags, where they report,
// and how the walk ends.
struct walk_context {
    const sweep_args& args;
    shape_result* table;
    uint8_t* finished;
    int64_t progress_steps;  // P
    const sweep_sinks& sinks;
    walk_end& end;
    rate_meter& meter;
};

// Out of memory on a walk's thread: the status line's "memory leak" and
// the sweep's failure, naming the shape in progress (0: none yet).
void fail_for_memory(walk_context& w, int32_t shape)
{
    shape_outcome outcome;
    report_memory_failure(w.sinks.ui, outcome, shape);
    if (shape == 0) outcome.failure = "not enough memory for the sweep";
    w.end.fail(outcome.failure, true);
}

// The reference path's side of the grid walk: one fresh working copy per
// value of levels 1 to 5 (copy 0 is the base copy), the cancel check at
// level 4, progress after each level-2 value and one evaluation per shape
// not already finished; each level-5 value's rows go to the journal.
struct sweep_visitor {
    walk_context& w;
    vertex_array copies[6];  // base copy, then levels 1 to 5
    int32_t shapes = 0;      // shape counter
    int64_t progress = 0;    // level-2 values finished
    block_rows rows;

    bool enter(int level, const double* p)
    {
        // Levels 1 and 2 scale body 1 (y, z); levels 3 to 5 body 2 (x, y, z).
        static constexpr double vec3::*const axes[6] = {nullptr, &vec3::y, &vec3::z, &vec3::x, &vec3::y, &vec3::z};
        const int32_t half = w.args.vertex_count / 2;
        const int32_t begin = level <= 2 ? 0 : half;
        const int32_t stop = level <= 2 ? half : w.args.vertex_count;
        vertex_array& to = copies[level];
        const vertex_array& from = copies[level - 1];
        if (!copy_array(to, from.data(), from.size())) {
            w.sinks.ui->set_item_text(ctl::status_line, "memory leak");
            w.end.fail("not enough memory for the working copies of the grid walk", true);
            return false;
        }
        const double factor = p[level];
        double vec3::*axis = axes[level];
        for (int32_t k = begin; k < stop; ++k) {
            vec3& v = to[static_cast<std::size_t>(k)];
            v.*axis = v.*axis * factor;
        }
        if (level == 4 && w.end.take_cancel(*w.sinks.cancel)) return false;
        return true;
    }

    bool shape(const double* p)
    {
        const int32_t k = ++shapes;
        if (w.finished[k - 1]) return true;
        shape_job job = w.args.job;
        job.vertices = copies[5].data();
        job.shape_number = k;
        for (int i = 0; i < param::count; ++i) job.shape_params[i] = p[i];
        if (run_shape(k, job, w.table, w.finished, rows, w.end, *w.sinks.cancel, w.meter,
                      [&](const stop_request& stop, shape_outcome& outcome) {
                          return eval_shape(job, w.table, w.sinks.ui, outcome, stop) == 1;
                      }))
            return true;
        rows.flush(w.sinks.journal, w.end);
        return false;
    }

    bool leave(int level)
    {
        vertex_array().swap(copies[level]);
        if (level == 5 && !rows.flush(w.sinks.journal, w.end)) return false;
        if (level == 2) {
            ++progress;
            w.sinks.ui->set_progress(progress_percent(progress, w.progress_steps));
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

// The walk with the reference evaluation, one shape after another.
void run_reference_walk(walk_context& w)
{
    sweep_visitor walk{w, {}, 0, 0, {}};
    if (!copy_array(walk.copies[0], w.args.vertices, static_cast<std::size_t>(w.args.vertex_count))) {
        w.end.fail("not enough memory for the base copy of the grid walk", true);
        return;
    }
    walk_grid(w.args.step, walk);
}

// Starts one more thread running `work`; false when the system gives no
// more (the output is the same with fewer).
template <class Work>
bool start_thread(std::vector<std::thread>& threads, Work& work)
{
    try {
        threads.emplace_back(work);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// The fast path: the blocks of the grid are shared out among
// args.thread_count threads, which take the next block as they finish one.
// Every shape keeps its number, file and row, so the output is that of one
// thread. The cancel flag is checked before each block and each sample.
void run_fast_sweep(walk_context& w)
{
    const sweep_args& args = w.args;
    const std::vector<vec3> base(args.vertices, args.vertices + args.vertex_count);
    const std::vector<grid_block> blocks = list_grid_blocks(args.step);
    const std::vector<sample_view> views = shared_sample_views(args.job);
    std::vector<std::atomic<int32_t>> group_left(static_cast<std::size_t>(w.progress_steps));
    for (const grid_block& b : blocks) ++group_left[static_cast<std::size_t>(b.group)];

    std::atomic<std::size_t> next{0};
    std::mutex progress_lock;
    int64_t groups_done = 0;
    block_dealer* dealer = w.sinks.dealer;

    // One thread's share: blocks until none is left or the walk ends.
    const auto work_blocks = [&](int32_t& current) {
        shape_scratch scratch;
        std::vector<vec3> deformed;
        shape_job job = args.job;
        block_rows rows;
        while (!w.end.halt.load()) {
            if (w.end.take_cancel(*w.sinks.cancel)) return;
            const int64_t dealt = dealer ? dealer->next() : static_cast<int64_t>(next.fetch_add(1));
            if (dealt < 0 || dealt >= static_cast<int64_t>(blocks.size())) return;
            const grid_block& block = blocks[static_cast<std::size_t>(dealt)];
            const int32_t last = block.first_shape + block.count - 1;
            bool deformed_ready = false;
            for (int32_t k = block.first_shape; k <= last; ++k) {
                if (w.finished[k - 1]) continue;
                current = k;
                if (!deformed_ready) {
                    deform_vertices(base, w.table[block.first_shape - 1].shape_params, deformed);
                    job.vertices = deformed.data();
                    deformed_ready = true;
                }
                job.shape_number = k;
                for (int i = 0; i < param::count; ++i) job.shape_params[i] = w.table[k - 1].shape_params[i];
                if (!run_shape(k, job, w.table, w.finished, rows, w.end, *w.sinks.cancel, w.meter,
                               [&](const stop_request& stop, shape_outcome& outcome) {
                                   return fast_eval_shape(job, views.data(), scratch, w.table, w.sinks.ui, outcome,
                                                          stop) == 1;
                               })) {
                    rows.flush(w.sinks.journal, w.end);
                    return;
                }
            }
            if (!rows.flush(w.sinks.journal, w.end)) return;
            if (--group_left[static_cast<std::size_t>(block.group)] == 0 && !dealer) {
                std::lock_guard guard(progress_lock);
                ++groups_done;
                w.sinks.ui->set_progress(progress_percent(groups_done, w.progress_steps));
            }
        }
    };
    // The entry of every walking thread: out of memory ends the walk here.
    auto work = [&]() {
        int32_t current = 0;
        try {
            work_blocks(current);
        } catch (const std::bad_alloc&) {
            fail_for_memory(w, current);
        }
    };

    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(std::max(0, args.thread_count - 1)));
    for (int32_t t = 1; t < args.thread_count && start_thread(helpers, work); ++t) {}
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

// The walk of the request's path, with every row pre-filled and the
// progress meter set for the shapes still to compute.
void walk(const sweep_request& request, sweep_result& out, const sweep_sinks& sinks, walk_end& end)
{
    row_filler filler{out.table.data(), out.finished.data()};
    walk_grid(request.args.step, filler);
    int64_t to_compute = 0;
    for (uint8_t done : out.finished) to_compute += done ? 0 : 1;
    rate_meter meter{sinks.ui, to_compute, sinks.remote_done, sinks.dealer != nullptr};
    walk_context w{request.args, out.table.data(), out.finished.data(), request.progress_steps, sinks, end, meter};
    if (request.path == sweep_path::reference)
        run_reference_walk(w);
    else
        run_fast_sweep(w);
}

}  // namespace

sweep_request make_sweep_request(sweep_args args, const grid_count& count, sweep_path path)
{
    sweep_request request;
    const std::size_t shapes = static_cast<std::size_t>(count.shapes);
    request.table.resize(shapes);
    request.block_fits.assign(shapes * static_cast<std::size_t>(std::max(args.job.block_count, 1)),
                              block_fit{std::nan(""), std::nan("")});
    request.progress_steps = count.progress_steps;
    request.path = path;
    request.args = std::move(args);
    return request;
}

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
}

bool check_thread_count(int threads, std::string& why)
{
    if (threads >= 1 && threads <= max_sweep_threads) return true;
    why = "the thread count must lie between 1 and " + std::to_string(max_sweep_threads);
    return false;
}

int default_thread_count()
{
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, unsigned{max_sweep_threads}));
}

std::string sweep_failure_text(const std::string& reason)
{
    return "sweep failed: " + reason;
}

sweep_result run_sweep(sweep_request request, const sweep_sinks& sinks)
{
    assert(sinks.ui && sinks.cancel);
    assert(request.block_fits.empty() ||
           request.block_fits.size() ==
               request.table.size() * static_cast<std::size_t>(std::max(request.args.job.block_count, 1)));
    sweep_result out;
    sweep_outcome& outcome = out.outcome;
    outcome.shapes = static_cast<int32_t>(request.table.size());
    out.table = std::move(request.table);
    out.block_fits = std::move(request.block_fits);
    out.finished = std::move(request.finished);
    if (sinks.published) sinks.published->store(out.table.data());
    if (!out.block_fits.empty()) request.args.job.block_fits = out.block_fits.data();

    walk_end end;
    try {
        out.finished.resize(out.table.size(), 0);
        walk(request, out, sinks, end);
    } catch (const std::bad_alloc&) {
        end.fail("not enough memory for the sweep", true);
    }
    // A walk that ended early here ends it everywhere; the other ranks'
    // rows are gathered whether this one's walk ended well or not.
    if (end.how() != early_end::none && sinks.dealer) sinks.dealer->stop_dealing();
    if (sinks.gather) {
        std::string why;
        if (!sinks.gather(out.table.data(), out.finished.data(), request.args.job.block_fits, why)) end.fail(why);
    }
    if (sinks.published) sinks.published->store(nullptr);
    for (uint8_t done : out.finished) outcome.finished += done;

    switch (end.how()) {
    case early_end::cancelled: outcome.status = sweep_status::cancelled; break;
    case early_end::failed:
        outcome.status = sweep_status::failed;
        outcome.reason = end.reason;
        outcome.out_of_memory = end.out_of_memory;
        break;
    case early_end::none:
        outcome.walked = true;
        if (request.share_only || any_finite_misfit(out.table)) {
            outcome.status = sweep_status::complete;
        } else {
            outcome.status = sweep_status::failed;
            outcome.reason = "no shape got a finite misfit: check the spin state and the observations";
        }
        break;
    }
    return out;
}
