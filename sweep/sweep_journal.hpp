#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sweep/sweep_records.hpp"

// One finished shape as the journal keeps it: its fit, exactly, and the
// size of its lightcurve file, by which a resumed sweep knows the file whole.
struct journal_row {
    int32_t shape = 0;  // 1-based
    double misfit = 0.0;
    double best_shift = 0.0;
    int64_t file_bytes = 0;
    std::vector<block_fit> blocks;  // each block's own fit, for a joint fit of several
};

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
// One line per row: "shape misfit best_shift bytes", then for a joint fit
// of several blocks "shift misfit" per block, each double as the 16
// hexadecimal digits of its bits, so that it comes back exactly.
class sweep_journal : public row_sink {
public:
    sweep_journal() = default;
    sweep_journal(const sweep_journal&) = delete;
    sweep_journal& operator=(const sweep_journal&) = delete;
    ~sweep_journal();

    // Opens `path` for appending after its first `keep_bytes` bytes (0
    // starts it afresh); false with `why` when it cannot be.
    bool open(const std::string& path, int64_t keep_bytes, std::string& why);
    // Appends the rows and syncs; safe from several threads. False with
    // `why` when the rows could not be written.
    bool append(const journal_row* rows, std::size_t count, std::string& why) override;
    void close();

private:
    std::mutex lock_;
    int fd_ = -1;
    std::string path_;
};

// The rows of the journal at `path` in file order. A torn or malformed line
// and everything after it are left out; `valid_bytes` says where the good
// part ends. No file gives no rows.
std::vector<journal_row> read_journal(const std::string& path, int64_t& valid_bytes);
