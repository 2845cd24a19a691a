#include "sweep/shape_grid.hpp"

namespace {

// Counts shapes and level-2 values; gives up past the limit.
struct grid_counter {
    grid_count count;
    int64_t limit;
    bool enter(int, const double*) { return true; }
    bool shape(const double*)
    {
        if (++count.shapes > limit) {
            count.too_large = true;
            return false;
        }
        return true;
    }
    bool leave(int level)
    {
        if (level == 2) ++count.progress_steps;
        return true;
    }
};

}  // namespace

grid_count count_grid(double step, int64_t limit)
{
    grid_counter counter{{}, limit};
    walk_grid(step, counter);
    return counter.count;
}
