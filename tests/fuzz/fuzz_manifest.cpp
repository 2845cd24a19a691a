// libFuzzer target for the reader of run manifests (output/run.json and the
// shards' output/run.shard-K-of-S.json). Fuzzed by scripts/fuzz; the main
// build links it into fuzz_replay_manifest (replay_main.cpp), which ctest
// runs over the seeds in tests/fuzz/corpus/manifest.
//
// Each input is the text of a manifest. It is parsed with parse_manifest,
// and written to a scratch file and read with read_manifest. The run aborts
// when the reader breaks its promises:
//   - both ways agree: the same verdict, the same reason, the same record;
//   - a refusal gives a reason naming the input and leaves the caller's
//     record exactly as it was;
//   - an accepted record lies in the ranges the sweep writes: a grid of
//     1 to INT32_MAX shapes that count_grid gives for the recorded step,
//     finished and resumed counts within it, known words for the status,
//     sweep path and fit (a sigma above 0 for the chi2 fit only, else 0),
//     1 to 10 subdivisions, 1 to 50 threads, a block of -1 or more, a shard
//     within its split;
//   - written again (manifest_text) it reads back as the same record, and
//     writes as the same text.
//
// With MORVANE_FUZZ_STATS set in the environment the target prints, at exit,
// how many inputs ended in each outcome.

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "runs/run_manifest.hpp"
#include "sweep/shape_grid.hpp"
#include "tests/fuzz/fuzz_support.hpp"

const char* const fuzz_target_name = "fuzz_manifest";

namespace {

using fuzz::broken;
using fuzz::same_bits;
using fuzz::scratch_path;
using fuzz::write_whole;

// Whether two records hold the same fields, the numbers bit for bit.
bool same_record(const run_manifest& a, const run_manifest& b)
{
    const run_inputs& x = a.inputs;
    const run_inputs& y = b.inputs;
    return x.observation_file == y.observation_file && x.observation_sha256 == y.observation_sha256 &&
           x.block == y.block && x.blocks == y.blocks && x.fit == y.fit && same_bits(x.lambda_deg, y.lambda_deg) &&
           same_bits(x.beta_deg, y.beta_deg) && same_bits(x.phi0_deg, y.phi0_deg) &&
           same_bits(x.period_hours, y.period_hours) && same_bits(x.t0, y.t0) && same_bits(x.step, y.step) &&
           x.subdivisions == y.subdivisions && x.no_curves == y.no_curves && same_bits(x.sigma, y.sigma) &&
           a.threads == b.threads && a.sweep_path == b.sweep_path && a.version == b.version && a.shapes == b.shapes &&
           a.progress_steps == b.progress_steps && a.finished_shapes == b.finished_shapes &&
           a.resumed_shapes == b.resumed_shapes && a.started == b.started && a.ended == b.ended &&
           a.status == b.status && a.reason == b.reason && a.shard == b.shard && a.shards == b.shards &&
           a.ranks == b.ranks && a.run_id == b.run_id;
}

// A record no input produces, to see that a refusal leaves it alone.
run_manifest sentinel()
{
    run_manifest m;
    m.inputs.observation_file = "untouched";
    m.inputs.step = -3.5;
    m.shapes = -7;
    m.status = "untouched";
    return m;
}

void check_ranges(const run_manifest& m)
{
    const run_inputs& in = m.inputs;
    if (!(in.step > 0.0)) broken("accepted a step that is not greater than 0");
    const grid_count count = count_grid(in.step, INT32_MAX);
    if (count.too_large || m.shapes != count.shapes || m.progress_steps != count.progress_steps)
        broken("accepted a grid size that is not the step's", std::to_string(m.shapes));
    if (m.shapes < 1 || m.shapes > INT32_MAX) broken("accepted a shape count out of range");
    if (m.finished_shapes < 0 || m.finished_shapes > m.shapes || m.resumed_shapes < 0 || m.resumed_shapes > m.shapes)
        broken("accepted finished or resumed counts outside the grid");
    if (m.status != "running" && m.status != "complete" && m.status != "cancelled" && m.status != "failed")
        broken("accepted an unknown status", m.status);
    if (m.sweep_path != "fast" && m.sweep_path != "reference") broken("accepted an unknown sweep path");
    if (in.fit != "range" && in.fit != "offset" && in.fit != "chi2") broken("accepted an unknown fit", in.fit);
    if (in.sigma < 0.0 || !std::isfinite(in.sigma) || (in.fit != "chi2" && in.sigma != 0.0))
        broken("accepted a sigma that is not a chi2 fit's (0, or above 0)");
    if (in.subdivisions < 1 || in.subdivisions > 10) broken("accepted subdivisions out of range");
    if (m.threads < 1 || m.threads > 50) broken("accepted a thread count out of range");
    if (in.block < -1) broken("accepted a negative block");
    if (m.shards < 0 || m.shards > max_shards || m.shard < 0 || m.shard > m.shards || (m.shards == 0 && m.shard != 0))
        broken("accepted a shard outside its split");
    if (m.ranks < 0) broken("accepted a negative rank count");
    if (!(in.period_hours > 0.0)) broken("accepted a period that is not greater than 0");
}

struct tally {
    unsigned long long refused = 0;
    unsigned long long accepted = 0;
};

struct fuzz_state {
    std::string path;
    tally counts;
    bool report = false;

    ~fuzz_state()
    {
        if (!path.empty()) unlink(path.c_str());
        if (report)
            std::fprintf(stderr, "fuzz_manifest: outcomes: refused %llu, accepted %llu\n", counts.refused,
                         counts.accepted);
    }
};

fuzz_state* state = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    state = fuzz::start_state<fuzz_state>();
    state->path = scratch_path("input");
    state->report = fuzz::stats_wanted();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz_state& s = *state;
    const std::string text(reinterpret_cast<const char*>(data), size);
    run_manifest parsed = sentinel();
    std::string why = "stale";
    const bool accepted = parse_manifest(text, s.path, parsed, why);

    write_whole(s.path, data, size);
    run_manifest read = sentinel();
    std::string read_why = "stale";
    if (read_manifest(s.path, read, read_why) != accepted) broken("read_manifest and parse_manifest disagree", why);
    if (!accepted) {
        ++s.counts.refused;
        if (why.empty() || why == "stale") broken("refused without a reason");
        if (why.compare(0, s.path.size(), s.path) != 0) broken("the reason does not name the input", why);
        if (read_why != why) broken("the file's reason differs from the text's", read_why + " / " + why);
        if (!same_record(parsed, sentinel()) || !same_record(read, sentinel()))
            broken("a refusal changed the record", why);
        return 0;
    }
    ++s.counts.accepted;
    if (!same_record(parsed, read)) broken("the file reads as another record than the text");
    check_ranges(parsed);
    const std::string again = manifest_text(parsed);
    run_manifest back = sentinel();
    if (!parse_manifest(again, "rewritten", back, why)) broken("a rewritten manifest is refused", why);
    if (!same_record(back, parsed)) broken("a rewritten manifest reads as another record");
    if (manifest_text(back) != again) broken("a rewritten manifest writes as another text");
    return 0;
}
