#include "app/mpi/mpi_share.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "app/cli/pipeline.hpp"

namespace {

constexpr int rows_tag = 1;
constexpr int end_tag = 2;
// Added to the counter to deal no more blocks: far past any grid.
constexpr int64_t past_every_block = int64_t{1} << 60;

// Appends the bytes of a value to a message.
template <class T>
void put(std::vector<char>& out, const T& value)
{
    const char* p = reinterpret_cast<const char*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

// Reads a value from a message; false past its end.
template <class T>
bool take(const std::vector<char>& in, std::size_t& at, T& value)
{
    if (at + sizeof value > in.size()) return false;
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}

using steady = std::chrono::steady_clock;

// Seconds from `from` to `to`.
double seconds_between(steady::time_point from, steady::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Takes the block's seconds that a rows message ends with off the message;
// false when it is too short to hold them.
bool take_block_seconds(std::vector<char>& message, double& seconds)
{
    if (message.size() < sizeof seconds) return false;
    const std::size_t rows = message.size() - sizeof seconds;
    std::memcpy(&seconds, message.data() + rows, sizeof seconds);
    message.resize(rows);
    return true;
}

// The rows of one block as a message: each row's doubles by their bits.
std::vector<char> encode_rows(const journal_row* rows, std::size_t count)
{
    std::vector<char> out;
    for (std::size_t i = 0; i < count; ++i) {
        const journal_row& r = rows[i];
        put(out, r.shape);
        put(out, r.misfit);
        put(out, r.best_shift);
        put(out, r.file_bytes);
        put(out, r.file_checksum);
        put(out, static_cast<int32_t>(r.blocks.size()));
        for (const block_fit& b : r.blocks) {
            put(out, b.best_shift);
            put(out, b.misfit);
        }
    }
    return out;
}

// The rows of a message; false when it is cut.
bool decode_rows(const std::vector<char>& in, std::vector<journal_row>& rows)
{
    std::size_t at = 0;
    while (at < in.size()) {
        journal_row r;
        int32_t blocks = 0;
        if (!take(in, at, r.shape) || !take(in, at, r.misfit) || !take(in, at, r.best_shift) ||
            !take(in, at, r.file_bytes) || !take(in, at, r.file_checksum) || !take(in, at, blocks) || blocks < 0)
            return false;
        r.blocks.resize(static_cast<std::size_t>(blocks));
        for (block_fit& b : r.blocks)
            if (!take(in, at, b.best_shift) || !take(in, at, b.misfit)) return false;
        rows.push_back(std::move(r));
    }
    return true;
}

}  // namespace

// Draws blocks from the counter that rank 0's window holds.
class mpi_share::counter_dealer : public block_dealer {
public:
    explicit counter_dealer(mpi_share& owner) : owner_(owner) {}
    int64_t next() override { return add(1); }
    void stop_dealing() override { add(past_every_block); }

private:
    // Adds to the counter; its value before.
    int64_t add(int64_t amount)
    {
        std::lock_guard guard(owner_.mpi_lock_);
        int64_t before = -1;
        MPI_Win_lock(MPI_LOCK_SHARED, 0, 0, owner_.window_);
        MPI_Fetch_and_op(&amount, &before, MPI_INT64_T, 0, 0, MPI_SUM, owner_.window_);
        MPI_Win_unlock(0, owner_.window_);
        return before;
    }
    mpi_share& owner_;
};

// Sends each finished block's rows to rank 0, followed by the seconds the
// block took (for rank 0's watch on silent ranks).
class mpi_share::row_sender : public row_sink {
public:
    explicit row_sender(MPI_Comm comm) : comm_(comm) {}
    bool append(const journal_row* rows, std::size_t count, std::string& why) override
    {
        std::vector<char> message = encode_rows(rows, count);
        put(message, block_seconds());
        if (MPI_Send(message.data(), static_cast<int>(message.size()), MPI_BYTE, 0, rows_tag, comm_) == MPI_SUCCESS)
            return true;
        why = "cannot send finished rows to rank 0";
        return false;
    }
    // The sweep starts now: each thread's first block is timed from here.
    void start()
    {
        std::lock_guard guard(lock_);
        started_ = steady::now();
        last_.clear();
    }

private:
    // Seconds since this thread's previous block came back (its first: since
    // the sweep started): the time of the block it just finished.
    double block_seconds()
    {
        const steady::time_point now = steady::now();
        std::lock_guard guard(lock_);
        steady::time_point& last = last_.try_emplace(std::this_thread::get_id(), started_).first->second;
        const double seconds = seconds_between(last, now);
        last = now;
        return seconds;
    }

    MPI_Comm comm_;
    std::mutex lock_;
    steady::time_point started_ = steady::now();
    std::map<std::thread::id, steady::time_point> last_;
};

mpi_share::mpi_share(MPI_Comm comm) : comm_(comm)
{
    MPI_Comm_rank(comm_, &rank_);
    MPI_Comm_size(comm_, &size_);
    const MPI_Aint bytes = rank_ == 0 ? static_cast<MPI_Aint>(sizeof(int64_t)) : 0;
    MPI_Win_allocate(bytes, sizeof(int64_t), MPI_INFO_NULL, comm_, &counter_, &window_);
    if (rank_ == 0) {
        MPI_Win_lock(MPI_LOCK_EXCLUSIVE, 0, 0, window_);
        *counter_ = 0;
        MPI_Win_unlock(0, window_);
    }
    MPI_Barrier(comm_);
    dealer_ = new counter_dealer(*this);
    sender_ = new row_sender(comm_);
}

mpi_share::~mpi_share()
{
    if (receiver_.joinable()) receiver_.join();
    MPI_Win_free(&window_);
    delete dealer_;
    delete sender_;
}

void mpi_share::attach(sweep_share& share)
{
    share_ = &share;
    share.ranks = size_;
    share.follower = rank_ != 0;
    share.dealer = dealer_;
    share.sink = rank_ != 0 ? sender_ : nullptr;
    share.agree = [this](bool ready, std::vector<uint8_t>& finished) { return agree_start(ready, finished); };
    if (rank_ == 0 && size_ > 1) {
        share.gather = [this](shape_result* table, uint8_t* finished, block_fit* fits, std::string& why) {
            return gather(table, finished, fits, why);
        };
        share.remote_done = &remote_done_;
    }
}

bool mpi_share::agree_step(const char* step, bool done, const std::string& reason, std::string& why)
{
    const int ok = done ? 1 : 0;
    std::vector<int> all(static_cast<std::size_t>(size_));
    MPI_Allgather(&ok, 1, MPI_INT, all.data(), 1, MPI_INT, comm_);
    int first = -1;
    for (int r = 0; r < size_ && first < 0; ++r)
        if (!all[static_cast<std::size_t>(r)]) first = r;
    if (first < 0) return true;
    // The first rank that stopped tells why.
    int length = rank_ == first ? static_cast<int>(reason.size()) : 0;
    MPI_Bcast(&length, 1, MPI_INT, first, comm_);
    std::string text = rank_ == first ? reason : std::string(static_cast<std::size_t>(length), ' ');
    MPI_Bcast(text.data(), length, MPI_CHAR, first, comm_);
    why = "rank " + std::to_string(first) + ": " + step + " stopped: " + text;
    return false;
}

bool mpi_share::agree_start(bool ready, std::vector<uint8_t>& finished)
{
    int mine = ready ? 1 : 0, everyone = 0;
    MPI_Allreduce(&mine, &everyone, 1, MPI_INT, MPI_MIN, comm_);
    if (!everyone) return false;
    // The shapes a resumed run keeps, as rank 0 found them.
    MPI_Bcast(finished.data(), static_cast<int>(finished.size()), MPI_UINT8_T, 0, comm_);
    started_ = true;
    sender_->start();
    if (rank_ == 0 && size_ > 1) receiver_ = std::thread([this] { receive(); });
    return true;
}

void mpi_share::receive()
{
    // When each rank was last heard from, and whether it has ended.
    std::vector<steady::time_point> heard(static_cast<std::size_t>(size_), steady::now());
    std::vector<uint8_t> ended_ranks(static_cast<std::size_t>(size_), 0);
    double slowest = 0.0;  // the longest block any rank has sent, in seconds
    int ended = 0;
    while (ended < size_ - 1) {
        // Every message waiting now, then one journal write and sync for all
        // their rows: with many ranks the syncs, not the messages, would
        // otherwise bound rank 0.
        std::vector<journal_row> pending;
        std::string why;
        for (;;) {
            MPI_Status status;
            int waiting = 0;
            MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, comm_, &waiting, &status);
            if (!waiting) break;
            int count = 0;
            MPI_Get_count(&status, MPI_BYTE, &count);
            std::vector<char> message(static_cast<std::size_t>(count));
            MPI_Recv(message.data(), count, MPI_BYTE, status.MPI_SOURCE, status.MPI_TAG, comm_, MPI_STATUS_IGNORE);
            heard[static_cast<std::size_t>(status.MPI_SOURCE)] = steady::now();
            const std::string rank = "rank " + std::to_string(status.MPI_SOURCE);
            if (status.MPI_TAG == rows_tag) {
                double seconds = 0.0;
                if ((!take_block_seconds(message, seconds) || !decode_rows(message, pending)) && why.empty())
                    why = rank + " sent a cut message";
                slowest = std::max(slowest, seconds);
                continue;
            }
            ++ended;
            ended_ranks[static_cast<std::size_t>(status.MPI_SOURCE)] = 1;
            int32_t how = 0;
            std::size_t at = 0;
            take(message, at, how);
            const std::string reason(message.begin() + static_cast<std::ptrdiff_t>(at), message.end());
            if (how != 0) {
                std::lock_guard guard(rows_lock_);
                if (failure_.empty()) failure_ = rank + (how == 1 ? " was cancelled" : ": " + reason);
                dealer_->stop_dealing();
            }
        }
        if (!pending.empty() || !why.empty()) {
            if (why.empty() && share_->journal && !share_->journal->append(pending.data(), pending.size(), why))
                why = "the journal: " + why;
            std::lock_guard guard(rows_lock_);
            if (!why.empty()) {
                if (journal_failure_.empty()) journal_failure_ = why;
                dealer_->stop_dealing();
            } else {
                remote_done_ += static_cast<int64_t>(pending.size());
                for (journal_row& r : pending) received_.push_back(std::move(r));
            }
        }
        if (ended == size_ - 1) break;
        const std::string silent = silent_rank(heard, ended_ranks, slowest, steady::now());
        if (!silent.empty()) {
            // Given up: no more blocks are dealt, rank 0's own threads end
            // after their blocks, and the run fails with this reason.
            std::lock_guard guard(rows_lock_);
            if (failure_.empty()) failure_ = silent;
            gave_up_ = true;
            dealer_->stop_dealing();
            return;
        }
        // A blocking probe spins, and would take a core from rank 0's own
        // threads: poll with pauses.
        if (pending.empty() && why.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string mpi_share::silent_rank(const std::vector<steady::time_point>& heard, const std::vector<uint8_t>& ended,
                                   double slowest, steady::time_point now) const
{
    const double bound = rank_timeout_ > 0.0 ? rank_timeout_ : std::max(least_rank_timeout, silence_factor * slowest);
    for (int r = 1; r < size_; ++r) {
        const std::size_t k = static_cast<std::size_t>(r);
        const double quiet = seconds_between(heard[k], now);
        if (ended[k] || !(quiet > bound)) continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      "rank %d sent nothing for %.1f s (the slowest block took %.1f s): ending the run", r, quiet,
                      slowest);
        return text;
    }
    return "";
}

bool mpi_share::gather(shape_result* table, uint8_t* finished, block_fit* fits, std::string& why)
{
    if (receiver_.joinable()) receiver_.join();
    for (const journal_row& r : received_) {
        const std::size_t k = static_cast<std::size_t>(r.shape - 1);
        table[k].misfit = r.misfit;
        table[k].best_shift = r.best_shift;
        finished[k] = 1;
        if (!fits) continue;
        // One lightcurve's fit is the shape's own; several come with the row.
        if (r.blocks.empty())
            fits[k] = {r.best_shift, r.misfit};
        else
            std::copy(r.blocks.begin(), r.blocks.end(), fits + k * r.blocks.size());
    }
    why = !journal_failure_.empty() ? journal_failure_ : failure_;
    return why.empty();
}

void mpi_share::finish(const app_state& app)
{
    // A rank given up cannot take part in the barrier: the whole job ends,
    // which frees the batch system's nodes. The manifest says why already.
    if (gave_up_) MPI_Abort(comm_, exit_failed);
    if (rank_ != 0 && started_) {
        const sweep_outcome& outcome = app.last_outcome;
        std::vector<char> message;
        put(message, static_cast<int32_t>(outcome.status == sweep_status::complete    ? 0
                                          : outcome.status == sweep_status::cancelled ? 1
                                                                                      : 2));
        message.insert(message.end(), outcome.reason.begin(), outcome.reason.end());
        MPI_Send(message.data(), static_cast<int>(message.size()), MPI_BYTE, 0, end_tag, comm_);
    }
    MPI_Barrier(comm_);
}
