// libFuzzer target for the reader of sample files (output/samples.txt: the
// reference samples a sweep fitted and the observations behind them, which
// morvane-report and the results window read). Fuzzed by scripts/fuzz; the
// main build links it into fuzz_replay_samples (replay_main.cpp), which
// ctest runs over the seeds in tests/fuzz/corpus/samples.
//
// Each input is written to a scratch file and read with read_sample_file
// into copies of a reference and observations read once at start-up. The
// run aborts when the reader breaks its promises:
//   - a refusal gives a reason naming the file and leaves the caller's
//     reference and observations exactly as they were (same arrays, same
//     bits);
//   - an accepted reference is whole runs of reference_samples samples,
//     each of one block of 0 or more, which check_reference takes, with
//     every array as long as the samples and the blocks listed per run for
//     more than one run; the observations have finite values, blocks of 0
//     or more and arrays as long as their count;
//   - or, for a file of points (the chi2 fit's), observed points that
//     check_observed_points takes, the same as the observations;
//   - written again (write_sample_file) it reads back bit for bit.
//
// With MORVANE_FUZZ_STATS set in the environment the target prints, at exit,
// how many inputs ended in each outcome.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "lightcurve/observed_points.hpp"
#include "lightcurve/resample.hpp"
#include "lightcurve/sample_file.hpp"
#include "tests/fuzz/fuzz_support.hpp"

const char* const fuzz_target_name = "fuzz_samples";

namespace {

using fuzz::broken;
using fuzz::same_bits;
using fuzz::same_vec;
using fuzz::scratch_path;
using fuzz::write_whole;

bool same_point(const phot_point& a, const phot_point& b)
{
    return same_bits(a.magnitude, b.magnitude) && same_bits(a.sigma, b.sigma) && a.filter == b.filter &&
           a.lc_number == b.lc_number;
}

template <class T, class Same>
bool same_array(const std::vector<T>& a, const std::vector<T>& b, Same same)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

bool same_reference(const ref_curve& a, const ref_curve& b)
{
    return same_array(a.times, b.times, same_bits) && same_array(a.photometry, b.photometry, same_point) &&
           same_array(a.sun, b.sun, same_vec) && same_array(a.earth, b.earth, same_vec) && a.blocks == b.blocks &&
           a.block_starts == b.block_starts;
}

bool same_observations(const obs_set& a, const obs_set& b)
{
    return a.count == b.count && same_array(a.times, b.times, same_bits) &&
           same_array(a.photometry, b.photometry, same_point) && same_array(a.sun, b.sun, same_vec) &&
           same_array(a.earth, b.earth, same_vec);
}

struct tally {
    unsigned long long refused = 0;
    unsigned long long accepted = 0;
    unsigned long long joint = 0;   // accepted with more than one run of samples
    unsigned long long points = 0;  // accepted as observed points
};

struct fuzz_state {
    std::string path;
    std::string again;  // where an accepted input is written back
    ref_curve preloaded;
    obs_set preloaded_obs;
    tally counts;
    bool report = false;

    ~fuzz_state()
    {
        for (const std::string& p : {path, again, again + ".part"})
            if (!p.empty()) unlink(p.c_str());
        if (report)
            std::fprintf(stderr, "fuzz_samples: outcomes: refused %llu, accepted %llu (joint %llu, points %llu)\n",
                         counts.refused, counts.accepted, counts.joint, counts.points);
    }
};

fuzz_state* state = nullptr;

// The fixed reference every run starts from: one block of samples and two
// observations, written and read through the file functions themselves.
void load_preloaded(fuzz_state& s)
{
    ref_curve ref;
    obs_set obs;
    for (int i = 0; i < reference_samples; ++i) {
        ref.times.push_back(2451545.0 + i / 64.0);
        ref.photometry.push_back({1.0 + i / 128.0, 0.01, 'V', 3});
        ref.earth.push_back({1.0, 0.5, 0.0});
        ref.sun.push_back({0.0, 2.5, 0.25});
    }
    for (int i = 0; i < 2; ++i) {
        obs.times.push_back(2451545.0 + i);
        obs.photometry.push_back({0.5 * i, 0.01, 'V', 3});
        ++obs.count;
    }
    std::string why;
    if (!write_sample_file(s.again, ref, obs, why) || !read_sample_file(s.again, s.preloaded, s.preloaded_obs, why))
        broken("the start-up samples did not load", why);
}

// The promises of an accepted file of points: the chi2 fit takes them,
// and they are the observations.
void check_points(const ref_curve& ref, const obs_set& obs)
{
    if (std::string reason; !check_observed_points(ref, reason))
        broken("accepted points check_observed_points refuses", reason);
    ref_curve again;
    take_observed_points(obs, again);
    if (!same_reference(again, ref)) broken("the observations are not the points");
}

void check_accepted(const ref_curve& ref, const obs_set& obs)
{
    if (observed_points(ref)) return check_points(ref, obs);
    const std::size_t n = ref.times.size();
    const std::size_t runs = n / reference_samples;
    if (n == 0 || n % reference_samples != 0) broken("accepted samples that are not whole runs", std::to_string(n));
    if (ref.photometry.size() != n || ref.earth.size() != n || ref.sun.size() != n)
        broken("an array's size differs from the samples'");
    if (runs > 1 ? ref.blocks.size() != runs : !ref.blocks.empty()) broken("the blocks do not list the runs");
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t block = ref.photometry[i].lc_number;
        if (block < 0) broken("accepted a negative block");
        if (block != ref.photometry[i - i % reference_samples].lc_number) broken("a run of two blocks");
        if (runs > 1 && block != ref.blocks[i / reference_samples]) broken("a run's block is not the listed one");
    }
    if (std::string reason; !check_reference(ref, reason)) broken("accepted samples check_reference refuses", reason);
    const auto count = static_cast<std::size_t>(obs.count);
    if (obs.count < 0 || obs.times.size() != count || obs.photometry.size() != count)
        broken("the observations' arrays differ from their count");
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(obs.times[i]) || !std::isfinite(obs.photometry[i].magnitude) ||
            obs.photometry[i].lc_number < 0)
            broken("accepted an observation that is not finite or of a negative block");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    state = fuzz::start_state<fuzz_state>();
    state->path = scratch_path("input");
    state->again = scratch_path("again");
    state->report = fuzz::stats_wanted();
    load_preloaded(*state);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz_state& s = *state;
    write_whole(s.path, data, size);
    ref_curve ref = s.preloaded;
    obs_set obs = s.preloaded_obs;
    const void* const arrays[2] = {ref.times.data(), obs.times.data()};
    std::string why = "stale";
    if (!read_sample_file(s.path, ref, obs, why)) {
        ++s.counts.refused;
        if (why.empty() || why == "stale") broken("refused without a reason");
        if (why.compare(0, s.path.size() + 1, s.path + ":") != 0) broken("the reason does not name the file", why);
        if (!same_reference(ref, s.preloaded) || !same_observations(obs, s.preloaded_obs))
            broken("a refusal changed the caller's samples", why);
        if (arrays[0] != ref.times.data() || arrays[1] != obs.times.data())
            broken("a refusal replaced the caller's arrays", why);
        return 0;
    }
    ++s.counts.accepted;
    if (observed_points(ref))
        ++s.counts.points;
    else if (!ref.blocks.empty())
        ++s.counts.joint;
    check_accepted(ref, obs);
    if (!write_sample_file(s.again, ref, obs, why)) broken("accepted samples cannot be written again", why);
    ref_curve back;
    obs_set back_obs;
    if (!read_sample_file(s.again, back, back_obs, why)) broken("written again, the samples are refused", why);
    if (!same_reference(back, ref) || !same_observations(back_obs, obs))
        broken("written again, the samples read back otherwise");
    return 0;
}
