#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sweep/block_share.hpp"

// What shard k of s computes of the grid of a step: its shapes (1 each,
// per shape of the grid) and the dealer of its blocks.
struct shard_plan {
    std::vector<uint8_t> own;
    std::shared_ptr<block_dealer> dealer;
};

// The plan of shard k of s over a grid of `shapes` shapes at `step`; an
// empty plan (no dealer) when s is 0, for a sweep that is not a shard.
shard_plan plan_shard(double step, int64_t shapes, int32_t k, int32_t s);
