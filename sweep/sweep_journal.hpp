#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sweep/sweep_records.hpp"

// One finished shape as the journal keeps it: its fit, exactly, and the
// size and checksum of its lightcurve file, by which a resumed sweep knows
// the file whole.
struct journal_row {
    int32_t shape = 0;  // 1-based
    double misfit = 0.0;
    double best_shift = 0.0;
    int64_t file_bytes = 0;
    uint64_t file_checksum = 0;     // FNV-1a of the file's bytes (0 without curves)
    std::vector<block_fit> blocks;  // each block's own fit: a joint fit of several, or any chi2 fit
};

// Whether `text` is a run's id as runs are given one: 32 lower-case
// hexadecimal digits (128 random bits).
bool is_run_id(std::string_view text);

// Where the rows of each finished block go: the journal, or (on a rank that
// is not the coordinator) a message to the coordinator. Safe from several
// threads.
class row_sink {
public:
    virtual ~row_sink() = default;
    // False with `why` when the rows could not be kept.
    virtual bool append(const journal_row* rows, std::size_t count, std::string& why) = 0;
};

// The sweep's record of finished shapes, appended one block of rows at a
// time and synced to disk after each, so that a sweep stopped in any way
// (cancel, kill, power cut) loses at most the blocks in progress.
// The first line names the run the rows belong to: "run <id>", the id its
// manifest records. Then one line per row: "shape misfit best_shift bytes
// checksum", then for a joint fit of several blocks (and for every chi2
// fit) "shift misfit" per block (the chi2 fit's "zero_point chi2"), each
// double as the 16 hexadecimal digits of its bits, so that it comes back
// exactly, and the checksum as 16 hexadecimal digits too.
class sweep_journal : public row_sink {
public:
    sweep_journal() = default;
    sweep_journal(const sweep_journal&) = delete;
    sweep_journal& operator=(const sweep_journal&) = delete;
    ~sweep_journal();

    // Opens `path` for writing, creating it when missing but changing
    // nothing in it yet, so that a journal that cannot be written is found
    // before anything of the previous run is touched; false with `why`.
    bool open(const std::string& path, std::string& why);
    // Makes the open journal the one of run `run_id`: keeps its first
    // `keep_bytes` bytes (a resumed run's header and rows), or with 0 starts
    // it afresh with the header line; synced to disk before it returns.
    // False with `why` when it could not be written.
    bool start(const std::string& run_id, int64_t keep_bytes, std::string& why);
    // Appends the rows and syncs; safe from several threads. False with
    // `why` when the rows could not be written.
    bool append(const journal_row* rows, std::size_t count, std::string& why) override;
    void close();

private:
    std::mutex lock_;
    int fd_ = -1;
    std::string path_;
};

// What a journal holds: the run it names and its rows in file order.
struct journal_contents {
    std::string run_id;             // "" when the header line is missing or malformed
    std::vector<journal_row> rows;  // empty without a run id
    int64_t valid_bytes = 0;        // where the good part (header and rows) ends
};

// The journal in `bytes`, the whole content of a journal file. A torn or
// malformed line and everything after it are left out. Rows are taken as
// written: whether they are worth keeping is the reader's to judge.
journal_contents parse_journal(std::string_view bytes);

// parse_journal of the file at `path`; no file (or none readable) gives
// nothing.
journal_contents read_journal(const std::string& path);
