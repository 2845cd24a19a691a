// libFuzzer target for the observation-file reader and the resampling that
// follows every accepted load. Fuzzed by scripts/fuzz (clang and libFuzzer);
// the main build links it into fuzz_replay (replay_main.cpp), which ctest
// runs over the seeds in tests/fuzz/corpus.
//
// Each input is written to a scratch file and read with read_lc_file into a
// copy of a set loaded once at start-up. The run aborts when the reader
// breaks its promises:
//   - a refusal returns 0, gives a reason naming the file, and leaves the
//     caller's set exactly as it was (same arrays, same bits, same count);
//   - an accepted set holds count >= 2 observations, every array that long,
//     every value finite, times that never decrease and a last time later
//     than the first;
//   - the resampled reference either passes check_reference, and then all of
//     it is finite with strictly increasing times, or is refused with a
//     reason.
//
// A first byte of 0xF8 or above is not file text: it selects the block to
// keep (0xF8 every block, 0xF9 block 0, ..., 0xFF block 6) and the rest of
// the input is the file. Any other input is the file itself, every block
// kept.
//
// With MORVANE_FUZZ_STATS set in the environment the target prints, at exit,
// how many inputs ended in each outcome.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/status_ops.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"
#include "lightcurve/resample.hpp"
#include "tests/fuzz/fuzz_support.hpp"

const char* const fuzz_target_name = "fuzz_reader";

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

bool finite_vec(const vec3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// How the inputs ended, for MORVANE_FUZZ_STATS.
struct tally {
    unsigned long long refused = 0;       // read_lc_file returned 0
    unsigned long long accepted = 0;      // read_lc_file returned a set
    unsigned long long ref_accepted = 0;  // ... and check_reference took it
    unsigned long long ref_refused = 0;   // ... and check_reference refused it
    unsigned long long one_block = 0;     // inputs that picked a single block
};

struct fuzz_state {
    std::string path;
    obs_set preloaded;  // what every run hands the reader, by copy
    null_front_end ui;
    tally counts;
    bool report = false;

    ~fuzz_state()
    {
        if (!path.empty()) unlink(path.c_str());
        if (report)
            std::fprintf(stderr,
                         "fuzz_reader: outcomes: reader refused %llu, accepted %llu (check_reference accepted %llu, "
                         "refused %llu); single-block inputs %llu\n",
                         counts.refused, counts.accepted, counts.ref_accepted, counts.ref_refused, counts.one_block);
    }
};

fuzz_state* state = nullptr;

// The fixed set every run starts from: three observations in two blocks,
// read through the reader itself so it is a set the reader can produce.
void load_preloaded(fuzz_state& s)
{
    static const char text[] = "2\n"
                               "2 0\n"
                               "2451545.0 1.25 1 0.5 0 0.25 1 0\n"
                               "2451545.5 0.75 1 0.5 0.125 0.25 1 -0.5\n"
                               "1 0\n"
                               "2451546.25 2.5 -1 0 3 0 2 1\n";
    write_whole(s.path, reinterpret_cast<const uint8_t*>(text), sizeof text - 1);
    std::string reason;
    if (read_lc_file(s.path, s.preloaded, &s.ui, reason) != 3 || s.preloaded.count != 3)
        broken("the start-up set did not load", reason);
}

void check_refusal(const fuzz_state& s, const obs_set& set, const std::string& reason, const void* const (&data)[4])
{
    if (reason.empty()) broken("refused without a reason");
    if (reason.compare(0, s.path.size() + 1, s.path + ":") != 0) broken("the reason does not name the file", reason);
    const obs_set& was = s.preloaded;
    if (set.count != was.count) broken("a refusal changed the count", reason);
    if (!same_array(set.times, was.times, same_bits)) broken("a refusal changed the times", reason);
    if (!same_array(set.photometry, was.photometry, same_point)) broken("a refusal changed the photometry", reason);
    if (!same_array(set.sun, was.sun, same_vec)) broken("a refusal changed the sun vectors", reason);
    if (!same_array(set.earth, was.earth, same_vec)) broken("a refusal changed the earth vectors", reason);
    // Not merely equal: the very arrays the caller handed in.
    if (data[0] != set.times.data() || data[1] != set.photometry.data() || data[2] != set.sun.data() ||
        data[3] != set.earth.data())
        broken("a refusal replaced the caller's arrays", reason);
}

void check_accepted(const obs_set& set, int32_t n, int32_t only_block)
{
    if (n < 2) broken("accepted fewer than two observations", std::to_string(n));
    if (set.count != n) broken("the count differs from the number returned");
    const auto size = static_cast<std::size_t>(n);
    if (set.times.size() != size || set.photometry.size() != size || set.sun.size() != size || set.earth.size() != size)
        broken("an array's size differs from the count");
    for (std::size_t i = 0; i < size; ++i) {
        const phot_point& p = set.photometry[i];
        if (!std::isfinite(set.times[i]) || !std::isfinite(p.magnitude) || !std::isfinite(p.sigma) ||
            !finite_vec(set.sun[i]) || !finite_vec(set.earth[i]))
            broken("an accepted value is not finite", "observation " + std::to_string(i));
        if (i > 0 && set.times[i] < set.times[i - 1])
            broken("accepted times decrease", "observation " + std::to_string(i));
        if (p.lc_number < 0 || (i > 0 && p.lc_number < set.photometry[i - 1].lc_number))
            broken("block numbers out of file order", "observation " + std::to_string(i));
        if (only_block >= 0 && p.lc_number != only_block)
            broken("an observation from a block that was not asked for", std::to_string(p.lc_number));
    }
    if (!(set.times[size - 1] > set.times[0])) broken("the last time is not later than the first");
}

void check_reference_outcome(const obs_set& set, tally& counts)
{
    ref_curve ref;
    resample_reference(set, ref);
    std::string reason;
    if (!check_reference(ref, reason)) {
        if (reason.empty()) broken("check_reference refused without a reason");
        ++counts.ref_refused;
        return;
    }
    ++counts.ref_accepted;
    const auto samples = static_cast<std::size_t>(reference_samples);
    if (ref.times.size() != samples || ref.photometry.size() != samples || ref.sun.size() != samples ||
        ref.earth.size() != samples)
        broken("the reference does not hold reference_samples samples");
    for (std::size_t k = 0; k < samples; ++k) {
        if (!std::isfinite(ref.times[k]) || !std::isfinite(ref.photometry[k].magnitude) ||
            !std::isfinite(ref.photometry[k].sigma) || !finite_vec(ref.sun[k]) || !finite_vec(ref.earth[k]))
            broken("check_reference took a value that is not finite", "sample " + std::to_string(k));
        if (k > 0 && !(ref.times[k] > ref.times[k - 1]))
            broken("check_reference took times that do not increase", "sample " + std::to_string(k));
    }
    if (!same_bits(ref.times[0], set.times[0])) broken("the reference does not start at the first observation");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    state = fuzz::start_state<fuzz_state>();
    state->path = scratch_path("input");
    state->report = fuzz::stats_wanted();
    load_preloaded(*state);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz_state& s = *state;
    int32_t only_block = all_blocks;
    if (size > 0 && data[0] >= 0xF8) {
        only_block = static_cast<int32_t>(data[0]) - 0xF9;
        ++data;
        --size;
        if (only_block >= 0) ++s.counts.one_block;
    }
    write_whole(s.path, data, size);

    obs_set set = s.preloaded;
    const void* const arrays[4] = {set.times.data(), set.photometry.data(), set.sun.data(), set.earth.data()};
    std::string reason = "stale";
    const int32_t n = read_lc_file(s.path, set, &s.ui, reason, only_block);
    if (n < 0) broken("negative return", std::to_string(n));
    if (n == 0) {
        ++s.counts.refused;
        check_refusal(s, set, reason, arrays);
        return 0;
    }
    ++s.counts.accepted;
    check_accepted(set, n, only_block);
    check_reference_outcome(set, s.counts);
    return 0;
}
