// libFuzzer target for the reader of sweep journals (output/journal.txt and
// the shards' journals). Fuzzed by scripts/fuzz; the main build links it into
// fuzz_replay_journal (replay_main.cpp), which ctest runs over the seeds in
// tests/fuzz/corpus/journal.
//
// Each input is the content of a journal. It is parsed with parse_journal,
// and written to a scratch file and read with read_journal. The run aborts
// when the reader breaks its promises:
//   - both ways give the same contents;
//   - without a well-formed header line ("run " and 32 lower-case hex
//     digits) nothing is taken: no id, no row, no valid byte;
//   - the good part ends at a line break within the input, holds the header
//     and one line per row, and read alone gives the same contents;
//   - every row names a shape from 1 to INT32_MAX and a byte count of 0 or
//     more;
//   - the rows written again by the journal's writer read back as the same
//     rows, bit for bit, and the whole written file is good.
//
// With MORVANE_FUZZ_STATS set in the environment the target prints, at exit,
// how many inputs had no header, a header only, and rows.

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "sweep/sweep_journal.hpp"
#include "tests/fuzz/fuzz_support.hpp"

const char* const fuzz_target_name = "fuzz_journal";

namespace {

using fuzz::broken;
using fuzz::same_bits;
using fuzz::scratch_path;
using fuzz::write_whole;

// Whether two rows hold the same fields, the numbers bit for bit.
bool same_row(const journal_row& a, const journal_row& b)
{
    if (a.shape != b.shape || !same_bits(a.misfit, b.misfit) || !same_bits(a.best_shift, b.best_shift) ||
        a.file_bytes != b.file_bytes || a.file_checksum != b.file_checksum || a.blocks.size() != b.blocks.size())
        return false;
    for (std::size_t i = 0; i < a.blocks.size(); ++i)
        if (!same_bits(a.blocks[i].best_shift, b.blocks[i].best_shift) ||
            !same_bits(a.blocks[i].misfit, b.blocks[i].misfit))
            return false;
    return true;
}

bool same_contents(const journal_contents& a, const journal_contents& b)
{
    return a.run_id == b.run_id && a.valid_bytes == b.valid_bytes && a.rows.size() == b.rows.size() &&
           std::equal(a.rows.begin(), a.rows.end(), b.rows.begin(), same_row);
}

// The checks that hold for any contents read from `bytes`.
void check_shape(const journal_contents& c, std::string_view bytes)
{
    if (c.run_id.empty()) {
        if (!c.rows.empty() || c.valid_bytes != 0) broken("took rows or bytes without a header");
        return;
    }
    if (!is_run_id(c.run_id)) broken("took a header whose id is not a run id", c.run_id);
    if (bytes.substr(0, 4 + c.run_id.size() + 1) != "run " + c.run_id + "\n") broken("the id is not the first line");
    if (c.valid_bytes < 37 || c.valid_bytes > static_cast<int64_t>(bytes.size()))
        broken("the good part ends outside the input", std::to_string(c.valid_bytes));
    const std::string_view good = bytes.substr(0, static_cast<std::size_t>(c.valid_bytes));
    if (good.back() != '\n') broken("the good part does not end at a line break");
    if (static_cast<std::size_t>(std::count(good.begin(), good.end(), '\n')) != c.rows.size() + 1)
        broken("the good part holds other lines than the header and the rows");
    for (const journal_row& r : c.rows)
        if (r.shape < 1 || r.file_bytes < 0) broken("took a row of shape or size out of range");
}

struct tally {
    unsigned long long headless = 0;
    unsigned long long header_only = 0;
    unsigned long long with_rows = 0;
};

struct fuzz_state {
    std::string input;
    std::string rewritten;
    tally counts;
    bool report = false;

    ~fuzz_state()
    {
        if (!input.empty()) unlink(input.c_str());
        if (!rewritten.empty()) unlink(rewritten.c_str());
        if (report)
            std::fprintf(stderr, "fuzz_journal: outcomes: no header %llu, header only %llu, rows %llu\n",
                         counts.headless, counts.header_only, counts.with_rows);
    }
};

fuzz_state* state = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    state = fuzz::start_state<fuzz_state>();
    state->input = scratch_path("input");
    state->rewritten = scratch_path("rewritten");
    state->report = fuzz::stats_wanted();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz_state& s = *state;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const journal_contents parsed = parse_journal(bytes);
    check_shape(parsed, bytes);

    write_whole(s.input, data, size);
    if (!same_contents(read_journal(s.input), parsed)) broken("read_journal and parse_journal disagree");
    if (parsed.run_id.empty()) {
        ++s.counts.headless;
        return 0;
    }
    ++(parsed.rows.empty() ? s.counts.header_only : s.counts.with_rows);
    if (!same_contents(parse_journal(bytes.substr(0, static_cast<std::size_t>(parsed.valid_bytes))), parsed))
        broken("the good part alone reads otherwise");

    // Written again by the sweep's own writer.
    unlink(s.rewritten.c_str());
    sweep_journal journal;
    std::string why;
    if (!journal.open(s.rewritten, why) || !journal.start(parsed.run_id, 0, why) ||
        !journal.append(parsed.rows.data(), parsed.rows.size(), why))
        broken("cannot write the rows again", why);
    journal.close();
    const journal_contents again = read_journal(s.rewritten);
    if (again.run_id != parsed.run_id || again.rows.size() != parsed.rows.size() ||
        !std::equal(again.rows.begin(), again.rows.end(), parsed.rows.begin(), same_row))
        broken("rows written again read back otherwise");
    std::FILE* file = std::fopen(s.rewritten.c_str(), "rb");
    if (!file || std::fseek(file, 0, SEEK_END) != 0) broken("cannot measure the rewritten journal");
    const long written = std::ftell(file);
    std::fclose(file);
    if (again.valid_bytes != written) broken("a journal the writer wrote is not good to its end");
    return 0;
}
