#include "runs/shard_plan.hpp"

shard_plan plan_shard(double step, int64_t shapes, int32_t k, int32_t s)
{
    shard_plan plan;
    if (s <= 0) return plan;
    const std::vector<grid_block> blocks = list_grid_blocks(step);
    std::vector<std::size_t> mine = shard_blocks(blocks, k, s);
    plan.own.assign(static_cast<std::size_t>(shapes), 0);
    for (std::size_t b : mine)
        for (int32_t i = 0; i < blocks[b].count; ++i)
            plan.own[static_cast<std::size_t>(blocks[b].first_shape - 1 + i)] = 1;
    plan.dealer = std::make_shared<list_dealer>(std::move(mine));
    return plan;
}
