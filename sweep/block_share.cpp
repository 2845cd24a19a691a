#include "sweep/block_share.hpp"

#include <algorithm>
#include <cassert>
#include <numeric>

#include "sweep/shape_grid.hpp"

std::vector<grid_block> list_grid_blocks(double step)
{
    struct planner {
        std::vector<grid_block> blocks;
        int32_t shapes = 0;
        int32_t group = 0;
        bool enter(int level, const double*)
        {
            if (level == 5) blocks.push_back({shapes + 1, 0, group});
            return true;
        }
        bool shape(const double*)
        {
            ++shapes;
            ++blocks.back().count;
            return true;
        }
        bool leave(int level)
        {
            if (level == 2) ++group;
            return true;
        }
    } plan;
    walk_grid(step, plan);
    return std::move(plan.blocks);
}

std::vector<std::size_t> shard_blocks(const std::vector<grid_block>& blocks, int32_t k, int32_t s)
{
    assert(k >= 1 && k <= s);
    std::vector<std::size_t> order(blocks.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Largest first, equal sizes in walk order: a total order, so any sort
    // gives it.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return blocks[a].count > blocks[b].count || (blocks[a].count == blocks[b].count && a < b);
    });
    std::vector<int64_t> load(static_cast<std::size_t>(std::max(s, 1)), 0);
    std::vector<std::size_t> mine;
    for (std::size_t b : order) {
        const std::size_t lightest =
            static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        load[lightest] += blocks[b].count;
        if (static_cast<int32_t>(lightest) == k - 1) mine.push_back(b);
    }
    std::sort(mine.begin(), mine.end());
    return mine;
}
