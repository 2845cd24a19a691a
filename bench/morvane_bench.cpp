// morvane-bench: the sweep's paths and levels against each other on the same
// shapes, in one run, with a check that the files they write agree.
//
// Every comparison alternates its two sides, A B A B ..., over --rounds
// rounds (5 by default), so that a busy moment of the machine falls on both
// sides alike. Each side's rounds are shown as median [min .. max], in CPU
// time (CLOCK_PROCESS_CPUTIME_ID: every thread of the process summed) and
// in wall time (steady_clock). A sweep writes its lightcurve files into a
// folder emptied before each round; after each round the two sides' files
// must be byte for byte the same. One thread unless said otherwise.
//
//   n3_speedup      reference path over fast path, median CPU time, n = 3
//                   (2,560 facets), the 12 shapes of step 0.5
//   n4_speedup      the same at n = 4 (10,240 facets), the one shape of
//                   step 1.0 (the next smaller grid has 4, too slow here)
//   thread_scaling  fast path at n = 3, the 120 shapes of step 0.3, one
//                   thread over every core, median WALL time (CPU time sums
//                   the threads, so it does not show the scaling)
//   simd_n3         fast path forced to scalar over the best SIMD level the
//                   processor runs, median CPU time, n = 3, step 0.5; about
//                   1 where the best is scalar
//   simd_n5         the same at n = 5 (40,960 facets), the 4 shapes of step 0.9
//   n3_fast_us      fast_shape_brightness per sample, median CPU time, on the
//                   shapes and samples of the n3 run (its own preparation of
//                   each shape included, as a sweep pays it)
//   n3_floor_us     the no-covering floor per sample on the same prepared
//                   shapes: both facing passes (sun, then earth: pass_byte
//                   where the cosine is positive, 0 elsewhere) and the
//                   brightness sum: what is left with no covering test
//   n3_floor_ratio  n3_fast_us over n3_floor_us
//   n7_per_n6       fast path CPU time per shape at n = 7 over n = 6, one
//                   grid shape (step 0.5's eleventh) at both, 150 samples
//
// --quick is a smoke run of the same parts with fewer shapes (n3 and simd_n3
// on step 0.6's 4 shapes, threads on step 0.5's 12, simd_n5 on step 1.0's
// one) and, where one shape is already the fewest, fewer samples (n4: 15,
// n7_per_n6: 10). --only n3,n4,threads,simd,floor,n7 measures those parts
// alone; the last line then leaves out the figures not measured.
//
// The last line reads "key=value ..." with the figures above. The exit
// status is 0 when every comparison of files found them identical, 2 when
// one did not (or a sweep or a shape failed), 1 on a usage or input error.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/simd.hpp"
#include "common/status_ops.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "mesh/base_shape.hpp"
#include "photometry/brightness.hpp"
#include "photometry/visibility.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/shape_grid.hpp"
#include "sweep/sweep_records.hpp"

namespace fs = std::filesystem;

namespace {

// A front end that shows nothing but message boxes, on stderr.
class silent_front_end : public null_front_end {
public:
    void message_box(const std::string& text, const std::string& caption, box_icon, box_owner) override
    {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    }
};

// The spin state of every run here.
sweep_spin bench_spin()
{
    constexpr double degree = 0.017453292519943295;
    return {90 * degree, 90 * degree, 90 * degree, 0.0, 21.9 / 24};
}

// ---- timing ----

// CPU seconds of the whole process, every thread summed.
double cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Seconds on the steady clock.
double wall_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The CPU and wall seconds of one timed run.
struct run_time {
    double cpu = 0.0;
    double wall = 0.0;
};

// Runs `work` once and returns its CPU and wall seconds.
template <class Work>
run_time time_run(Work&& work)
{
    const double cpu0 = cpu_seconds();
    const double wall0 = wall_seconds();
    work();
    const double wall1 = wall_seconds();
    const double cpu1 = cpu_seconds();
    return {cpu1 - cpu0, wall1 - wall0};
}

// One side's rounds, in the order run.
using rounds_of = std::vector<run_time>;

// The median and the spread of one quantity over the rounds.
struct spread {
    double median = 0.0;
    double lo = 0.0;
    double hi = 0.0;
};

// Median, min and max of the rounds' CPU or wall seconds (`which`).
spread spread_of(const rounds_of& rounds, double run_time::*which)
{
    std::vector<double> v;
    for (const run_time& r : rounds) v.push_back(r.*which);
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return {median, v.front(), v.back()};
}

// The median CPU seconds of the rounds.
double median_cpu(const rounds_of& rounds)
{
    return spread_of(rounds, &run_time::cpu).median;
}

// The median wall seconds of the rounds.
double median_wall(const rounds_of& rounds)
{
    return spread_of(rounds, &run_time::wall).median;
}

// A number with four significant digits.
std::string num(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

// A number with `decimals` places.
std::string fixed(double v, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// "12.3 [11.9 .. 13.0]": a spread times `scale`.
std::string show(const spread& s, double scale)
{
    return num(s.median * scale) + " [" + num(s.lo * scale) + " .. " + num(s.hi * scale) + "]";
}

// One side's line: its name, then CPU and wall time as median [min .. max]
// in `unit`, each round's seconds times `scale`.
void print_side(const std::string& name, const rounds_of& rounds, double scale, const char* unit)
{
    std::printf("  %-12s cpu %s %s   wall %s %s\n", name.c_str(),
                show(spread_of(rounds, &run_time::cpu), scale).c_str(), unit,
                show(spread_of(rounds, &run_time::wall), scale).c_str(), unit);
}

// ---- what the parts share ----

// The sizes of every part: the full run's, or the quick smoke run's.
struct bench_sizes {
    double n3_step;      // n3, simd_n3 and the floor
    double n4_step;      // n4
    int32_t n4_samples;  // n4 (0: every sample)
    double threads_step;
    double n5_step;      // simd_n5
    int32_t n7_samples;  // n7_per_n6 (0: every sample)
};

// The full run's sizes.
constexpr bench_sizes full_sizes{0.5, 1.0, 0, 0.3, 0.9, 0};

// The quick run's sizes: fewer shapes, or fewer samples where one shape is the fewest.
constexpr bench_sizes quick_sizes{0.6, 1.0, 15, 0.5, 1.0, 10};

// Everything the parts share, and what they found.
struct bench_context {
    fs::path work;                         // the folders of every sweep
    std::shared_ptr<const ref_curve> ref;  // the resampled test lightcurve
    bench_sizes sizes;
    int rounds = 5;
    simd_level simd = simd_level::scalar;  // the level of every part but simd's
    bool identical = true;                 // every file comparison so far
    // The figures of the last line, in the order measured.
    std::vector<std::pair<std::string, std::string>> figures;
};

// Adds a figure to the last line.
void add_figure(bench_context& c, const std::string& key, const std::string& value)
{
    c.figures.emplace_back(key, value);
}

// The first `count` samples of `ref` as a reference of their own (0: all of it).
std::shared_ptr<const ref_curve> first_samples(const std::shared_ptr<const ref_curve>& ref, int32_t count)
{
    if (count <= 0 || static_cast<std::size_t>(count) >= ref->times.size()) return ref;
    auto cut = std::make_shared<ref_curve>();
    const auto n = static_cast<std::ptrdiff_t>(count);
    cut->times.assign(ref->times.begin(), ref->times.begin() + n);
    cut->photometry.assign(ref->photometry.begin(), ref->photometry.begin() + n);
    cut->sun.assign(ref->sun.begin(), ref->sun.begin() + n);
    cut->earth.assign(ref->earth.begin(), ref->earth.begin() + n);
    return cut;
}

// The parameters of every shape of the grid of `step`, in walk order.
std::vector<std::array<double, param::count>> grid_shapes(double step)
{
    struct collector {
        std::vector<std::array<double, param::count>> params;
        bool enter(int, const double*) { return true; }
        bool leave(int) { return true; }
        bool shape(const double* p)
        {
            params.emplace_back();
            std::copy(p, p + param::count, params.back().begin());
            return true;
        }
    } all;
    walk_grid(step, all);
    return all.params;
}

// The shapes of the grid of `step`.
int shape_count(double step)
{
    return static_cast<int>(count_grid(step, INT32_MAX).shapes);
}

// "1 shape", "12 shapes": a count and its noun.
std::string count_of(int64_t n, const char* noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Facets of both lobes of the base shape of n subdivisions.
int64_t facets_of(const mesh& base)
{
    return 2 * static_cast<int64_t>(base.facet_count);
}

// ---- sweeps ----

// The whole contents of a file.
std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether two sweep folders hold the same files, byte for byte, and some.
bool same_output(const fs::path& a, const fs::path& b)
{
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(a / "output")) {
        const fs::path other = b / "output" / entry.path().filename();
        if (!fs::exists(other) || contents(entry.path()) != contents(other)) return false;
        ++files;
    }
    std::size_t others = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(b / "output")) ++others;
    return files == others && files > 0;
}

// What every sweep of one comparison shares.
struct sweep_setup {
    std::shared_ptr<const mesh> base;
    std::shared_ptr<const ref_curve> ref;
    double step;
};

// One side of a compared pair of sweeps.
struct sweep_side {
    std::string name;
    sweep_path path;
    int threads;
    simd_level simd;
    fs::path dir;
};

// One sweep of `side` into its folder's output/ (emptied first), timed
// around run_sweep alone; `ok` turns false when it did not complete.
run_time timed_sweep(const sweep_setup& setup, const sweep_side& side, bool& ok)
{
    fs::remove_all(side.dir / "output");
    fs::create_directories(side.dir / "output");
    const fs::path home = fs::current_path();
    fs::current_path(side.dir);
    const sweep_args args = make_sweep_args(setup.base, setup.ref, bench_spin(), setup.step, side.threads);
    sweep_request request = make_sweep_request(args, count_grid(setup.step, INT32_MAX), side.path);
    silent_front_end ui;
    std::atomic<int32_t> cancel{0};
    sweep_sinks sinks;
    sinks.ui = &ui;
    sinks.cancel = &cancel;
    force_simd_level(side.simd);
    sweep_result result;
    const run_time t = time_run([&] { result = run_sweep(std::move(request), sinks); });
    fs::current_path(home);
    if (result.outcome.status != sweep_status::complete) {
        std::fprintf(stderr, "morvane-bench: %s sweep failed: %s\n", side.name.c_str(), result.outcome.reason.c_str());
        ok = false;
    }
    return t;
}

// Both sides' rounds and whether every round's files agreed.
struct pair_rounds {
    rounds_of a;
    rounds_of b;
    bool identical = true;
};

// Alternates the sweeps of `a` and `b` over `rounds` rounds, comparing
// their files after each round.
pair_rounds alternate_sweeps(const sweep_setup& setup, const sweep_side& a, const sweep_side& b, int rounds)
{
    pair_rounds out;
    for (int round = 0; round < rounds; ++round) {
        bool ok = true;
        out.a.push_back(timed_sweep(setup, a, ok));
        out.b.push_back(timed_sweep(setup, b, ok));
        out.identical = out.identical && ok && same_output(a.dir, b.dir);
    }
    return out;
}

// "files identical" or "files DIFFER", and the comparison counted.
const char* verdict(bench_context& c, bool identical)
{
    c.identical = c.identical && identical;
    return identical ? "files identical" : "files DIFFER";
}

// ---- the parts ----

// Reference against fast at n subdivisions on the grid of `step`, one
// thread; prints the comparison and adds `key`, the ratio of median CPU times.
void bench_paths(bench_context& c, int n, double step, int32_t samples, const std::string& key)
{
    const sweep_setup setup{build_base_mesh(n), first_samples(c.ref, samples), step};
    const int shapes = shape_count(step);
    const std::string tag = "n" + std::to_string(n);
    const sweep_side reference{"reference", sweep_path::reference, 1, c.simd, c.work / (tag + "-reference")};
    const sweep_side fast{"fast", sweep_path::fast, 1, c.simd, c.work / (tag + "-fast")};
    const pair_rounds r = alternate_sweeps(setup, reference, fast, c.rounds);
    std::printf("%s: reference against fast, n = %d (%lld facets), %s of step %g, %zu samples, 1 thread, %d rounds\n",
                tag.c_str(), n, static_cast<long long>(facets_of(*setup.base)), count_of(shapes, "shape").c_str(), step,
                setup.ref->times.size(), c.rounds);
    print_side(reference.name, r.a, 1e3 / shapes, "ms/shape");
    print_side(fast.name, r.b, 1e3 / shapes, "ms/shape");
    const double ratio = median_cpu(r.a) / median_cpu(r.b);
    std::printf("  %s %s (median cpu %s / %s ms per shape), %s\n", key.c_str(), fixed(ratio, 1).c_str(),
                num(median_cpu(r.a) * 1e3 / shapes).c_str(), num(median_cpu(r.b) * 1e3 / shapes).c_str(),
                verdict(c, r.identical));
    add_figure(c, key, fixed(ratio, 1));
}

// The fast path at n = 3, one thread against every core; the ratio of
// median wall times is thread_scaling.
void bench_threads(bench_context& c)
{
    const double step = c.sizes.threads_step;
    const sweep_setup setup{build_base_mesh(3), c.ref, step};
    const int shapes = shape_count(step);
    const int cores = default_thread_count();
    const sweep_side one{"1 thread", sweep_path::fast, 1, c.simd, c.work / "threads-1"};
    const sweep_side all{std::to_string(cores) + " threads", sweep_path::fast, cores, c.simd, c.work / "threads-all"};
    const pair_rounds r = alternate_sweeps(setup, one, all, c.rounds);
    std::printf("threads: fast path, 1 thread against %d (every core), n = 3, %s of step %g, %d rounds\n", cores,
                count_of(shapes, "shape").c_str(), step, c.rounds);
    print_side(one.name, r.a, 1e3 / shapes, "ms/shape");
    print_side(all.name, r.b, 1e3 / shapes, "ms/shape");
    const double ratio = median_wall(r.a) / median_wall(r.b);
    std::printf("  thread_scaling %s (median wall %s / %s ms per shape), %s\n", fixed(ratio, 2).c_str(),
                num(median_wall(r.a) * 1e3 / shapes).c_str(), num(median_wall(r.b) * 1e3 / shapes).c_str(),
                verdict(c, r.identical));
    add_figure(c, "thread_scaling", fixed(ratio, 2));
}

// The fast path at n subdivisions forced scalar against the best SIMD
// level, one thread; adds `key`, the ratio of median CPU times.
void bench_simd_at(bench_context& c, int n, double step, const std::string& key)
{
    const simd_level best = best_simd_level();
    const sweep_setup setup{build_base_mesh(n), c.ref, step};
    const int shapes = shape_count(step);
    const std::string tag = "simd-n" + std::to_string(n);
    const sweep_side scalar{"scalar", sweep_path::fast, 1, simd_level::scalar, c.work / (tag + "-scalar")};
    const sweep_side fastest{std::string("best ") + simd_name(best), sweep_path::fast, 1, best,
                             c.work / (tag + "-best")};
    const pair_rounds r = alternate_sweeps(setup, scalar, fastest, c.rounds);
    std::printf("%s: fast path, scalar against the best level (%s), n = %d (%lld facets), %s of step %g, 1 thread, "
                "%d rounds\n",
                key.c_str(), simd_name(best), n, static_cast<long long>(facets_of(*setup.base)),
                count_of(shapes, "shape").c_str(), step, c.rounds);
    print_side(scalar.name, r.a, 1e3 / shapes, "ms/shape");
    print_side(fastest.name, r.b, 1e3 / shapes, "ms/shape");
    const double ratio = median_cpu(r.a) / median_cpu(r.b);
    std::printf("  %s %s (median cpu %s / %s ms per shape)%s, %s\n", key.c_str(), fixed(ratio, 2).c_str(),
                num(median_cpu(r.a) * 1e3 / shapes).c_str(), num(median_cpu(r.b) * 1e3 / shapes).c_str(),
                best == simd_level::scalar ? "; this processor has no AVX2, so both are scalar and about 1 is right"
                                           : "",
                verdict(c, r.identical));
    add_figure(c, key, fixed(ratio, 2));
}

// simd_n3 and simd_n5, then the best level back in use.
void bench_simd(bench_context& c)
{
    bench_simd_at(c, 3, c.sizes.n3_step, "simd_n3");
    bench_simd_at(c, 5, c.sizes.n5_step, "simd_n5");
    force_simd_level(best_simd_level());
}

// Grid shapes evaluated alone: each one's deformed vertices and its job.
struct shape_jobs {
    std::vector<std::vector<vec3>> vertices;
    std::vector<shape_job> jobs;
};

// Jobs for `params` on `base` at the first `samples` samples of `ref`,
// deformed as the fast sweep deforms a grid shape.
shape_jobs grid_jobs(const mesh& base, const ref_curve& ref, int32_t samples,
                     const std::vector<std::array<double, param::count>>& params)
{
    const std::vector<vec3> base_vertices(base.vertices.begin(), base.vertices.begin() + base.vertex_count);
    const int32_t all = static_cast<int32_t>(ref.times.size());
    const sample_geometry at{samples > 0 ? std::min(samples, all) : all, ref.earth.data(), ref.sun.data(),
                             ref.times.data()};
    shape_jobs out;
    out.vertices.resize(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) {
        deform_vertices(base_vertices, params[k].data(), out.vertices[k]);
        out.jobs.push_back(one_shape_job(base, out.vertices[k], params[k].data(), at, bench_spin()));
    }
    return out;
}

// One facing pass toward the unit direction d, as project_facets leaves the
// bytes: pass_byte where the cosine is positive, 0 elsewhere; no records.
void facing_pass(const facet_normal* normals, int32_t n, vec3 d, uint8_t* bytes)
{
    for (int32_t i = 0; i < n; ++i) {
        const facet_normal& nrm = normals[i];
        const double c = nrm.nx * d.x + nrm.ny * d.y + nrm.nz * d.z;
        bytes[i] = c > 0 ? pass_byte(bytes[i], c) : 0;
    }
}

// The floor of one prepared shape: at every sample both facing passes and
// the brightness sum, nothing covered, into `brightness`.
void floor_brightness(const shape_job& job, const prepared_shape& shape, const sample_view* views,
                      std::vector<uint8_t>& bytes, double* brightness)
{
    const photo_params params;
    bytes.resize(static_cast<std::size_t>(shape.facet_count));
    for (int32_t i = 0; i < job.sample_count; ++i) {
        const sample_view& v = views[i];
        std::fill(bytes.begin(), bytes.end(), uint8_t{255});
        facing_pass(shape.normals.data(), shape.facet_count, v.seen.sun_dir, bytes.data());
        facing_pass(shape.normals.data(), shape.facet_count, v.seen.earth_dir, bytes.data());
        double cos_phase, seen_area;
        brightness[i] = comp_brightness(shape.normals.data(), v.body_rot, shape.facet_count, cos_phase, seen_area,
                                        bytes.data(), job.earth_dirs[i], job.sun_dirs[i], params);
    }
}

// Every job's fast brightness, sample after sample, into `out`; false when one failed.
bool fast_all(const shape_jobs& set, const sample_view* views, shape_scratch& scratch, status_ops* ui,
              std::vector<double>& out)
{
    out.clear();
    for (const shape_job& job : set.jobs) {
        shape_outcome outcome;
        if (!fast_shape_brightness(job, views, scratch, ui, outcome, {})) {
            std::fprintf(stderr, "morvane-bench: fast_shape_brightness failed: %s\n", outcome.failure.c_str());
            return false;
        }
        out.insert(out.end(), scratch.brightness.begin(), scratch.brightness.end());
    }
    return true;
}

// Every prepared job's floor brightness, sample after sample, into `out`.
void floor_all(const shape_jobs& set, const std::vector<prepared_shape>& shapes, const sample_view* views,
               std::vector<uint8_t>& bytes, std::vector<double>& out)
{
    const auto samples = static_cast<std::size_t>(set.jobs.front().sample_count);
    out.resize(set.jobs.size() * samples);
    for (std::size_t k = 0; k < set.jobs.size(); ++k)
        floor_brightness(set.jobs[k], shapes[k], views, bytes, out.data() + k * samples);
}

// Whether the floor is at least the fast brightness at every sample: the
// floor covers nothing, so it sums a superset of the same positive terms.
bool floor_at_least_fast(const std::vector<double>& floor, const std::vector<double>& fast)
{
    if (floor.size() != fast.size()) return false;
    for (std::size_t i = 0; i < floor.size(); ++i)
        if (!(floor[i] >= fast[i])) return false;
    return true;
}

// fast_shape_brightness against the no-covering floor on the shapes and
// samples of the n3 run, alternating, CPU time per sample.
void bench_floor(bench_context& c)
{
    force_simd_level(c.simd);
    const double step = c.sizes.n3_step;
    const auto base = build_base_mesh(3);
    const shape_jobs set = grid_jobs(*base, *c.ref, 0, grid_shapes(step));
    silent_front_end ui;
    std::vector<prepared_shape> prepared(set.jobs.size());
    for (std::size_t k = 0; k < set.jobs.size(); ++k) {
        shape_outcome outcome;
        if (!prepare_shape(set.jobs[k], prepared[k], &ui, outcome)) {
            std::fprintf(stderr, "morvane-bench: prepare_shape failed: %s\n", outcome.failure.c_str());
            c.identical = false;
            return;
        }
    }
    const std::vector<sample_view> views = shared_sample_views(set.jobs.front());
    shape_scratch scratch;
    std::vector<uint8_t> bytes;
    std::vector<double> fast_b, floor_b;
    rounds_of fast, floor;
    bool ok = true;
    for (int round = 0; round < c.rounds; ++round) {
        fast.push_back(time_run([&] { ok = fast_all(set, views.data(), scratch, &ui, fast_b) && ok; }));
        floor.push_back(time_run([&] { floor_all(set, prepared, views.data(), bytes, floor_b); }));
    }
    const double samples = static_cast<double>(set.jobs.size()) * set.jobs.front().sample_count;
    const bool bounded = ok && floor_at_least_fast(floor_b, fast_b);
    c.identical = c.identical && ok;
    std::printf("floor: fast_shape_brightness against the no-covering floor, n = 3 (%lld facets), %s of step %g, "
                "%d samples each, 1 thread, %d rounds\n",
                static_cast<long long>(facets_of(*base)),
                count_of(static_cast<int64_t>(set.jobs.size()), "shape").c_str(), step, set.jobs.front().sample_count,
                c.rounds);
    print_side("fast", fast, 1e6 / samples, "us/sample");
    print_side("floor", floor, 1e6 / samples, "us/sample");
    const double fast_us = median_cpu(fast) * 1e6 / samples;
    const double floor_us = median_cpu(floor) * 1e6 / samples;
    std::printf("  n3_floor_ratio %s (median cpu %s / %s us per sample), floor %s the fast brightness at every "
                "sample\n",
                fixed(fast_us / floor_us, 1).c_str(), num(fast_us).c_str(), num(floor_us).c_str(),
                bounded ? "at least" : "NOT at least");
    add_figure(c, "n3_fast_us", fixed(fast_us, 2));
    add_figure(c, "n3_floor_us", fixed(floor_us, 2));
    add_figure(c, "n3_floor_ratio", fixed(fast_us / floor_us, 1));
}

// The fast path's CPU time per shape at n = 7 over n = 6, one grid shape at
// both, alternating; the meshes and jobs are built before any timing.
void bench_n7(bench_context& c)
{
    force_simd_level(c.simd);
    const std::vector<std::array<double, param::count>> shape{grid_shapes(0.5).at(10)};
    const auto base6 = build_base_mesh(6);
    const auto base7 = build_base_mesh(7);
    if (!base6 || !base7) {
        std::fprintf(stderr, "morvane-bench: not enough memory for the meshes of n = 6 and 7\n");
        c.identical = false;
        return;
    }
    const shape_jobs set6 = grid_jobs(*base6, *c.ref, c.sizes.n7_samples, shape);
    const shape_jobs set7 = grid_jobs(*base7, *c.ref, c.sizes.n7_samples, shape);
    const std::vector<sample_view> views = shared_sample_views(set6.jobs.front());
    silent_front_end ui;
    shape_scratch scratch6, scratch7;
    std::vector<double> out6, out7;
    rounds_of n6, n7;
    bool ok = true;
    for (int round = 0; round < c.rounds; ++round) {
        n6.push_back(time_run([&] { ok = fast_all(set6, views.data(), scratch6, &ui, out6) && ok; }));
        n7.push_back(time_run([&] { ok = fast_all(set7, views.data(), scratch7, &ui, out7) && ok; }));
    }
    c.identical = c.identical && ok;
    const auto& p = shape.front();
    std::printf("n7_per_n6: fast path, n = 6 (%lld facets) against n = 7 (%lld facets), one shape (%g, %g, %g, %g, %g, "
                "%g, %g), %d samples, 1 thread, %d rounds\n",
                static_cast<long long>(facets_of(*base6)), static_cast<long long>(facets_of(*base7)), p[0], p[1], p[2],
                p[3], p[4], p[5], p[6], set6.jobs.front().sample_count, c.rounds);
    print_side("n = 6", n6, 1.0, "s/shape");
    print_side("n = 7", n7, 1.0, "s/shape");
    const double ratio = median_cpu(n7) / median_cpu(n6);
    std::printf("  n7_per_n6 %s (median cpu %s / %s s per shape)\n", fixed(ratio, 1).c_str(),
                num(median_cpu(n7)).c_str(), num(median_cpu(n6)).c_str());
    add_figure(c, "n7_per_n6", fixed(ratio, 1));
}

// ---- the command line ----

// One part of the bench: the name --only knows it by, and what it measures.
struct bench_part {
    const char* name;
    void (*run)(bench_context&);
};

// The parts, in the order they run.
const std::vector<bench_part>& bench_parts()
{
    static const std::vector<bench_part> parts{
        {"n3", [](bench_context& c) { bench_paths(c, 3, c.sizes.n3_step, 0, "n3_speedup"); }},
        {"n4", [](bench_context& c) { bench_paths(c, 4, c.sizes.n4_step, c.sizes.n4_samples, "n4_speedup"); }},
        {"threads", bench_threads},
        {"simd", bench_simd},
        {"floor", bench_floor},
        {"n7", bench_n7},
    };
    return parts;
}

// What the command line asked for.
struct bench_options {
    int rounds = 5;
    bool quick = false;
    std::set<std::string> only;  // empty: every part
};

// The usage text.
const char* usage()
{
    return "usage: morvane-bench [--rounds N] [--quick] [--only n3,n4,threads,simd,floor,n7] | --help\n"
           "  --rounds N  rounds per comparison, at least 5 (default 5)\n"
           "  --quick     fewer shapes (and samples), a smoke run of every part\n"
           "  --only L    the listed parts alone\n";
}

// Reads a comma list of part names into `parts`; false with `why` on an unknown one.
bool parse_parts(const std::string& list, std::set<std::string>& parts, std::string& why)
{
    std::stringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        const auto& known = bench_parts();
        if (std::none_of(known.begin(), known.end(), [&](const bench_part& part) { return name == part.name; })) {
            why = "unknown part \"" + name + "\" in --only";
            return false;
        }
        parts.insert(name);
    }
    if (parts.empty()) why = "--only needs at least one part";
    return !parts.empty();
}

// Reads the command line; false with `why` when it cannot be used.
bool parse_options(int argc, char** argv, bench_options& options, std::string& why)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if ((arg == "--rounds" || arg == "--only") && i + 1 == argc) {
            why = arg + " needs a value";
            return false;
        } else if (arg == "--rounds") {
            char* end = nullptr;
            const long rounds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rounds < 5 || rounds > 1000) {
                why = "--rounds takes a whole number from 5 to 1000";
                return false;
            }
            options.rounds = static_cast<int>(rounds);
        } else if (arg == "--only") {
            if (!parse_parts(argv[++i], options.only, why)) return false;
        } else {
            why = "unknown argument \"" + arg + "\"";
            return false;
        }
    }
    return true;
}

// Whether `part` is to be measured.
bool wanted(const bench_options& options, const std::string& part)
{
    return options.only.empty() || options.only.count(part) > 0;
}

// Runs the parts asked for, in their fixed order, each shown as it ends.
void run_parts(bench_context& c, const bench_options& options)
{
    for (const bench_part& part : bench_parts()) {
        if (!wanted(options, part.name)) continue;
        part.run(c);
        std::fflush(stdout);
    }
}

// The resampled test lightcurve; null after saying why on stderr.
std::shared_ptr<const ref_curve> load_reference()
{
    obs_set observations;
    std::string reason;
    if (read_lc_file(std::string(MORVANE_SOURCE_DIR) + "/data/test.zel", observations, nullptr, reason) == 0) {
        std::fprintf(stderr, "morvane-bench: %s\n", reason.c_str());
        return nullptr;
    }
    auto ref = std::make_shared<ref_curve>();
    resample_reference(observations, *ref);
    return ref;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("%s", usage());
        return 0;
    }
    bench_options options;
    std::string why;
    if (!parse_options(argc, argv, options, why)) {
        std::fprintf(stderr, "morvane-bench: %s\n%s", why.c_str(), usage());
        return 1;
    }
    bench_context c;
    c.ref = load_reference();
    if (!c.ref) return 1;
    char pattern[] = "/tmp/morvane-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    c.work = pattern;
    c.sizes = options.quick ? quick_sizes : full_sizes;
    c.rounds = options.rounds;
    c.simd = simd_in_use();
    std::printf("morvane-bench: %s run, %d rounds per comparison, simd level %s (best %s), %d cores\n",
                options.quick ? "quick" : "full", c.rounds, simd_name(c.simd), simd_name(best_simd_level()),
                default_thread_count());
    std::fflush(stdout);

    run_parts(c, options);

    fs::remove_all(c.work);
    std::string line;
    for (const auto& [key, value] : c.figures) line += (line.empty() ? "" : " ") + key + "=" + value;
    std::printf("%s\n", line.c_str());
    return c.identical ? 0 : 2;
}
