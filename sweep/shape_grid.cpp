#include "sweep/shape_grid.hpp"

namespace {

// Values a level takes: from `first` while value <= `end`, value = value +
// step, exactly as walk_grid runs it; gives up once past `limit`.
int64_t level_values(double first, double end, double step, int64_t limit)
{
    int64_t n = 0;
    for (double v = first; v <= end; v = v + step)
        if (++n > limit) break;
    return n;
}

// Whether a * b > limit, for counts of at least 1, without overflow.
bool product_exceeds(int64_t a, int64_t b, int64_t limit)
{
    return a > limit / b;
}

}  // namespace

grid_count count_grid(double step, int64_t limit)
{
    grid_count count;
    // Every addition moves a value by at most step + half an ulp of 2, so
    // level 1 takes at least 0.5 / s and level 6 at first 0.2 / s values,
    // s = step + 2.3e-16. Below the step where their product alone passes
    // the limit there is nothing to count.
    const double s = step + 2.3e-16;
    if ((0.5 / s) * (0.2 / s) > static_cast<double>(limit) * 2.0) {
        count.too_large = true;
        return count;
    }
    // Levels 3 to 6 do not depend on levels 1 and 2, so the shapes are the
    // level-2 values times the shapes below one of them:
    // per_group = sum over level 3 of (level-6 values) * (sum over level 4 of
    // level-5 values). Each partial product is checked against the limit.
    int64_t per_group = 0;
    for (double x2 = 0.1; x2 <= 1.0; x2 = x2 + step) {
        const int64_t shifts = level_values(1.0 - x2, 1.0 + x2, step, limit);
        if (shifts > limit) {
            count.too_large = true;
            return count;
        }
        int64_t lobes = 0;
        for (double y2 = x2 * 0.5; y2 <= x2; y2 = y2 + step) {
            lobes += level_values(y2 * 0.5, y2, step, limit);
            if (lobes > limit || product_exceeds(shifts, lobes, limit - per_group)) {
                count.too_large = true;
                return count;
            }
        }
        per_group += shifts * lobes;
    }
    int64_t groups = 0;
    for (double y1 = 0.5; y1 <= 1.0; y1 = y1 + step)
        for (double z1 = y1 * 0.5; z1 <= y1; z1 = z1 + step) {
            ++groups;
            if (per_group > 0 && product_exceeds(groups, per_group, limit)) {
                count.too_large = true;
                return count;
            }
        }
    count.shapes = groups * per_group;
    count.progress_steps = groups;
    return count;
}
