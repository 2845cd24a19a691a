#pragma once

#include <mpi.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "workflow/app_state.hpp"

// One process's part in a sweep over MPI ranks. Rank 0 coordinates: it
// writes the folder's shared files, holds the block counter that every
// rank's threads draw from (one-sided, so no rank waits for another to
// hand out work), receives the rows the other ranks finish, journals them
// and writes the table. The others compute and send.
//
// Rank 0 also watches the others while the sweep runs: a rank that has not
// ended and has sent nothing for longer than the rank timeout is given up.
// The timeout is the larger of `least_rank_timeout` and `silence_factor`
// times the slowest block any rank has sent so far, unless set.
// The run then fails with "rank R sent nothing for S s (the slowest block
// took B s): ending the run" in its manifest, and finish() ends the job
// with MPI_Abort, so that a stopped or hung rank does not hold the nodes.
class mpi_share {
public:
    // The rank timeout unless set: at least this many seconds, and at least
    // this multiple of the slowest block so far.
    static constexpr double least_rank_timeout = 600.0;
    static constexpr double silence_factor = 50.0;

    explicit mpi_share(MPI_Comm comm);
    ~mpi_share();
    mpi_share(const mpi_share&) = delete;
    mpi_share& operator=(const mpi_share&) = delete;

    int rank() const { return rank_; }
    int size() const { return size_; }

    // Fills `share` with this rank's part (dealer, sink, agreement, gather).
    void attach(sweep_share& share);

    // Every rank after each step: true when it went well on every rank;
    // otherwise `why` names the first rank that stopped and its reason.
    bool agree_step(const char* step, bool done, const std::string& reason, std::string& why);

    // Rank 0: the silence, in seconds (more than 0), after which a rank is
    // given up, in place of the rule above.
    void set_rank_timeout(double seconds) { rank_timeout_ = seconds; }

    // A follower whose sweep started tells rank 0 how it ended; then every
    // rank waits for the others. When rank 0 gave a rank up, it ends the
    // job here instead (its manifest is written by then).
    void finish(const app_state& app);

private:
    class counter_dealer;
    class row_sender;

    // The sweep's start, agreed on (see sweep_share::agree).
    bool agree_start(bool ready, std::vector<uint8_t>& finished);
    // Rank 0: receives rows and endings until every follower has ended, or
    // until it gives a silent one up.
    void receive();
    // Rank 0: why the first rank that has not ended (`ended` per rank) and
    // has sent nothing since `heard` is given up at `now`, with `slowest`
    // the longest block seen, in seconds; "" when none is.
    std::string silent_rank(const std::vector<std::chrono::steady_clock::time_point>& heard,
                            const std::vector<uint8_t>& ended, double slowest,
                            std::chrono::steady_clock::time_point now) const;
    // Rank 0: waits for the followers and puts their rows into the table;
    // false with `why` when a rank failed or cancelled.
    bool gather(shape_result* table, uint8_t* finished, block_fit* fits, std::string& why);

    MPI_Comm comm_;
    int rank_ = 0;
    int size_ = 1;
    MPI_Win window_ = MPI_WIN_NULL;
    int64_t* counter_ = nullptr;
    std::mutex mpi_lock_;  // one thread in a window epoch at a time
    counter_dealer* dealer_ = nullptr;
    row_sender* sender_ = nullptr;
    sweep_share* share_ = nullptr;
    bool started_ = false;

    // Rank 0's receiving side.
    std::thread receiver_;
    std::mutex rows_lock_;
    std::vector<journal_row> received_;
    std::atomic<int64_t> remote_done_{0};
    std::string failure_;  // the first rank's failure or cancel
    std::string journal_failure_;
    double rank_timeout_ = 0.0;         // 0: the rule above
    std::atomic<bool> gave_up_{false};  // a silent rank was given up: the job ends with MPI_Abort
};
