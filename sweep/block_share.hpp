#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sweep/sweep_journal.hpp"

// The shapes of one level-5 value of the grid: they share their deformed
// vertices, so a block is the unit of work that threads, ranks and shards
// share out.
struct grid_block {
    int32_t first_shape;  // 1-based
    int32_t count;
    int32_t group;  // 0-based level-2 value, for progress
};

// The blocks of the grid of `step`, in walk order.
std::vector<grid_block> list_grid_blocks(double step);

// The blocks (indices into `blocks`, increasing) of shard k (1-based) of s:
// the largest blocks first, each to the shard with the fewest shapes so far
// (the lowest shard on a tie; equal blocks in walk order), so that the
// shards' shape counts differ by at most the largest block. The same for
// every process that asks.
std::vector<std::size_t> shard_blocks(const std::vector<grid_block>& blocks, int32_t k, int32_t s);

// Where a sweep's threads get the next block to compute. Safe from several
// threads.
class block_dealer {
public:
    virtual ~block_dealer() = default;
    // The index of the next block, or -1 when none is left for this process.
    virtual int64_t next() = 0;
    // Deals no more blocks to anyone: the walk here ended early.
    virtual void stop_dealing() {}
};

// Deals a fixed list of blocks, in its order.
class list_dealer : public block_dealer {
public:
    explicit list_dealer(std::vector<std::size_t> blocks) : blocks_(std::move(blocks)) {}
    int64_t next() override
    {
        const std::size_t i = at_.fetch_add(1);
        return i < blocks_.size() ? static_cast<int64_t>(blocks_[i]) : -1;
    }

private:
    std::vector<std::size_t> blocks_;
    std::atomic<std::size_t> at_{0};
};
