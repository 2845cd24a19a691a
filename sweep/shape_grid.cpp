#include "sweep/shape_grid.hpp"

grid_count count_grid(double step, int64_t limit)
{
    grid_count count;
    for (double y1 = 0.5; y1 <= 1.0; y1 = y1 + step) {
        for (double z1 = y1 * 0.5; z1 <= y1; z1 = z1 + step) {
            for (double x2 = 0.1; x2 <= 1.0; x2 = x2 + step) {
                for (double y2 = x2 * 0.5; y2 <= x2; y2 = y2 + step) {
                    for (double z2 = y2 * 0.5; z2 <= y2; z2 = z2 + step) {
                        for (double shift = 1.0 - x2; shift <= 1.0 + x2; shift = shift + step) {
                            if (++count.shapes > limit) {
                                count.too_large = true;
                                return count;
                            }
                        }
                    }
                }
            }
            ++count.progress_steps;
        }
    }
    return count;
}
