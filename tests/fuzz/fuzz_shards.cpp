// libFuzzer target for the merge of a run's shards (morvane-cli merge): the
// reader of the shards' manifests and tables. Fuzzed by scripts/fuzz; the
// main build links it into fuzz_replay_shards (replay_main.cpp), which ctest
// runs over the seeds in tests/fuzz/corpus/shards.
//
// The target works in a scratch folder holding shard 2 of 2 of a run of
// test.zel at step 0.5 (12 shapes), as morvane-cli wrote it. Each input is
// shard 1's manifest, output/run.shard-1-of-2.json, and when it holds a line
// "--" after it, shard 1's table, output/main.shard-1-of-2.txt (else the
// table that shard wrote). merge_shards() then runs, and the run aborts when
// it breaks its promises:
//   - it never fails to write here; a refusal gives a reason and writes
//     neither output/main.txt nor output/run.json;
//   - a merge writes output/main.txt with one line per shape of the grid,
//     in shape order, each the line one of the shards' tables holds for that
//     shape, and an output/run.json that reads back as the complete record
//     of the whole split, for the grid of shard 2's manifest.
//
// With MORVANE_FUZZ_STATS set in the environment the target prints, at exit,
// how many inputs ended in each outcome.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "runs/run_manifest.hpp"
#include "runs/shard_merge.hpp"
#include "runs/summary_table.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace fs = std::filesystem;

const char* const fuzz_target_name = "fuzz_shards";

namespace {

using fuzz::broken;
using fuzz::write_whole;

// Shard 2 of 2 as morvane-cli wrote it, and the table shard 1 wrote.
const char shard2_manifest[] = R"({
  "program": "morvane",
  "version": "0.1",
  "status": "complete",
  "reason": null,
  "inputs": {
    "observation_file": "test.zel",
    "observation_sha256": "ea18736fb59eac7066bb849c38bb136664451451fe5ee4b6cd1564813fbd2e5e",
    "block": null,
    "blocks": null,
    "fit": "range",
    "lambda_deg": 90.0,
    "beta_deg": 90.0,
    "phi0_deg": 90.0,
    "period_hours": 21.9,
    "t0": 0.0,
    "step": 0.5,
    "subdivisions": 1,
    "curves": true
  },
  "threads": 1,
  "sweep_path": "fast",
  "grid": {
    "shapes": 12,
    "progress_steps": 3
  },
  "finished_shapes": 6,
  "resumed_shapes": 0,
  "started": "2026-12-09T07:10:54Z",
  "ended": "2026-12-09T07:10:54Z",
  "shard": {
    "index": 2,
    "of": 2
  }
}
)";
const char shard2_table[] = "1 1.000000 0.500000 0.250000 0.100000 0.050000 0.025000 0.900000 0.496644 0.049739\n"
                            "5 1.000000 1.000000 0.500000 0.100000 0.050000 0.025000 0.900000 0.127517 0.156561\n"
                            "6 1.000000 1.000000 0.500000 0.600000 0.300000 0.150000 0.400000 0.000000 0.025348\n"
                            "7 1.000000 1.000000 0.500000 0.600000 0.300000 0.150000 0.900000 0.000000 0.024157\n"
                            "8 1.000000 1.000000 0.500000 0.600000 0.300000 0.150000 1.400000 0.127517 0.156561\n"
                            "9 1.000000 1.000000 1.000000 0.100000 0.050000 0.025000 0.900000 0.127517 0.157589\n";
const char shard1_table[] = "2 1.000000 0.500000 0.250000 0.600000 0.300000 0.150000 0.400000 0.000000 0.072971\n"
                            "3 1.000000 0.500000 0.250000 0.600000 0.300000 0.150000 0.900000 0.000000 0.065100\n"
                            "4 1.000000 0.500000 0.250000 0.600000 0.300000 0.150000 1.400000 0.496644 0.049739\n"
                            "10 1.000000 1.000000 1.000000 0.600000 0.300000 0.150000 0.400000 0.503356 0.059440\n"
                            "11 1.000000 1.000000 1.000000 0.600000 0.300000 0.150000 0.900000 0.530201 0.114015\n"
                            "12 1.000000 1.000000 1.000000 0.600000 0.300000 0.150000 1.400000 0.127517 0.157589\n";
constexpr int64_t grid_shapes = 12;

void write_text(const std::string& path, const std::string& text)
{
    write_whole(path, text.data(), text.size());
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a text by the shape that starts them.
std::map<int64_t, std::string> lines_by_shape(const std::string& text)
{
    std::map<int64_t, std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines[std::strtoll(line.c_str(), nullptr, 10)] = line;
    return lines;
}

struct tally {
    unsigned long long refused = 0;
    unsigned long long merged = 0;
    unsigned long long own_table = 0;  // inputs that gave shard 1's table
};

struct fuzz_state {
    fs::path folder;
    tally counts;
    bool report = false;

    ~fuzz_state()
    {
        std::error_code ignored;
        if (!folder.empty()) fs::remove_all(folder, ignored);
        if (report)
            std::fprintf(stderr, "fuzz_shards: outcomes: refused %llu, merged %llu; inputs with a table %llu\n",
                         counts.refused, counts.merged, counts.own_table);
    }
};

fuzz_state* state = nullptr;

void check_merged(const merge_outcome& merged, const std::string& table1)
{
    if (merged.shards != 2 || merged.shapes != grid_shapes) broken("merged another split or grid");
    const std::string main = read_text("output/main.txt");
    std::map<int64_t, std::string> expected = lines_by_shape(shard2_table);
    for (const auto& [shape, line] : lines_by_shape(table1)) expected[shape] = line;
    std::string want;
    for (int64_t k = 1; k <= grid_shapes; ++k) {
        if (!expected.count(k)) broken("merged a grid without shape", std::to_string(k));
        want += expected[k] + "\n";
    }
    if (main != want) broken("output/main.txt is not the shards' lines in shape order", main.substr(0, 400));
    std::istringstream in(main);
    int64_t k = 0;
    for (std::string line; std::getline(in, line);) {
        summary_row row;
        if (!parse_summary_line(line, grid_shapes, row) || row.shape != ++k) broken("a merged line is no row", line);
    }
    run_manifest record;
    std::string why;
    if (!read_manifest(manifest_file, record, why)) broken("the merged record is refused", why);
    if (record.status != "complete" || record.shard != 0 || record.shards != 2 || record.shapes != grid_shapes)
        broken("the merged record is not the whole split's");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    state = fuzz::start_state<fuzz_state>();
    state->report = fuzz::stats_wanted();
    // A fresh folder of its own, which becomes the working folder.
    std::string folder = fuzz::scratch_folder() + "/morvane-fuzz_shards-XXXXXX";
    if (!mkdtemp(folder.data())) broken("cannot create the scratch folder", folder);
    state->folder = folder;
    fs::current_path(state->folder);
    fs::create_directory("output");
    write_text("output/run.shard-2-of-2.json", shard2_manifest);
    write_text("output/main.shard-2-of-2.txt", shard2_table);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz_state& s = *state;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string manifest = input, table = shard1_table;
    if (const std::size_t cut = input.find("\n--\n"); cut != std::string::npos) {
        manifest = input.substr(0, cut + 1);
        table = input.substr(cut + 4);
        ++s.counts.own_table;
    }
    for (const char* name : {"output/main.txt", "output/run.json", "output/fits.csv"}) unlink(name);
    write_text("output/run.shard-1-of-2.json", manifest);
    write_text("output/main.shard-1-of-2.txt", table);

    const merge_outcome merged = merge_shards();
    if (merged.failed) broken("a merge failed to write in the scratch folder", merged.reason);
    if (!merged.done) {
        ++s.counts.refused;
        if (merged.reason.empty()) broken("refused without a reason");
        if (fs::exists("output/main.txt") || fs::exists("output/run.json")) broken("a refusal wrote files");
        return 0;
    }
    ++s.counts.merged;
    check_merged(merged, table);
    return 0;
}
