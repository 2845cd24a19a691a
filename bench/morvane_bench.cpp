// morvane-bench: the reference path against the fast path on the same
// shapes, side by side in one run, with a check that their files agree.
//
//   n3: the 12 shapes of step 0.5 at n = 3 (2,560 facets), best of two
//   n4: the 4 shapes of step 0.9 at n = 4 (10,240 facets)
//   threads: the 120 shapes of step 0.3 at n = 3, fast path, one thread
//            against every core, best of two
//
// The last line reads "n3_speedup=<x> n4_speedup=<y> thread_scaling=<z>".

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/status_ops.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "mesh/base_shape.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/shape_grid.hpp"

namespace fs = std::filesystem;

namespace {

// A front end that shows nothing.
class silent_front_end : public null_front_end {
public:
    void message_box(const std::string& text, const std::string& caption, box_icon, box_owner) override
    {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    }
};

// One sweep in directory `dir`; returns its seconds.
double timed_sweep(std::shared_ptr<const mesh> base, std::shared_ptr<const ref_curve> ref, double step, sweep_path path,
                   int threads, const fs::path& dir)
{
    fs::create_directories(dir / "output");
    const fs::path home = fs::current_path();
    fs::current_path(dir);
    constexpr double degree = 0.017453292519943295;
    const sweep_spin spin{90 * degree, 90 * degree, 90 * degree, 0.0, 21.9 / 24};
    const sweep_args args = make_sweep_args(base, ref, spin, step, threads);
    const grid_count count = count_grid(step, INT32_MAX);
    silent_front_end ui;
    std::atomic<int32_t> cancel{0};
    sweep_sinks sinks;
    sinks.ui = &ui;
    sinks.cancel = &cancel;
    const auto start = std::chrono::steady_clock::now();
    run_sweep(make_sweep_request(args, count, path), sinks);
    const auto end = std::chrono::steady_clock::now();
    fs::current_path(home);
    return std::chrono::duration<double>(end - start).count();
}

std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether two sweep directories hold the same files, byte for byte.
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

// Reference against fast (one thread) at n subdivisions, best of `rounds`;
// returns the ratio.
double compare_paths(int n, double step, int rounds, const std::shared_ptr<const ref_curve>& ref, const fs::path& work,
                     bool& identical)
{
    const auto base = build_base_mesh(n);
    const int shapes = static_cast<int>(count_grid(step, INT32_MAX).shapes);
    const fs::path ref_dir = work / ("n" + std::to_string(n) + "-reference");
    const fs::path fast_dir = work / ("n" + std::to_string(n) + "-fast");
    // Alternate the two paths and keep each one's best time, so that a busy
    // moment of the machine does not fall on one path only.
    double slow = INFINITY, fast = INFINITY;
    for (int round = 0; round < rounds; ++round) {
        slow = std::min(slow, timed_sweep(base, ref, step, sweep_path::reference, 1, ref_dir));
        fast = std::min(fast, timed_sweep(base, ref, step, sweep_path::fast, 1, fast_dir));
    }
    const bool same = same_output(ref_dir, fast_dir);
    identical = identical && same;
    std::printf("n = %d, %d facets, %d shapes: reference %.2f shapes/s, fast %.2f shapes/s, ratio %.1f, files %s\n", n,
                base->facet_count * 2, shapes, shapes / slow, shapes / fast, slow / fast,
                same ? "identical" : "DIFFER");
    return slow / fast;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/morvane-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path work = pattern;
    obs_set observations;
    std::string reason;
    if (read_lc_file(std::string(MORVANE_SOURCE_DIR) + "/data/test.zel", observations, nullptr, reason) == 0) {
        std::fprintf(stderr, "morvane-bench: %s\n", reason.c_str());
        return 1;
    }
    auto ref = std::make_shared<ref_curve>();
    resample_reference(observations, *ref);

    bool identical = true;
    const double n3 = compare_paths(3, 0.5, 2, ref, work, identical);
    const double n4 = compare_paths(4, 0.9, 1, ref, work, identical);

    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const auto base = build_base_mesh(3);
    const int shapes = static_cast<int>(count_grid(0.3, INT32_MAX).shapes);
    double one = INFINITY, all = INFINITY;
    for (int round = 0; round < 2; ++round) {
        one = std::min(one, timed_sweep(base, ref, 0.3, sweep_path::fast, 1, work / "threads-1"));
        all = std::min(all, timed_sweep(base, ref, 0.3, sweep_path::fast, cores, work / "threads-all"));
    }
    const bool same = same_output(work / "threads-1", work / "threads-all");
    identical = identical && same;
    std::printf("n = 3, %d shapes, fast path: 1 thread %.2f shapes/s, %d threads %.2f shapes/s, files %s\n", shapes,
                shapes / one, cores, shapes / all, same ? "identical" : "DIFFER");

    fs::remove_all(work);
    std::printf("n3_speedup=%.1f n4_speedup=%.1f thread_scaling=%.2f\n", n3, n4, one / all);
    return identical ? 0 : 2;
}
