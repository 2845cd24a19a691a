#pragma once

#include <cstdint>

#include "sweep/sweep_records.hpp"

// The six levels of the shape grid, outermost first. Every level starts at
// its first value, runs while value <= end (no tolerance) and advances by
// value = value + step, accumulated on the running value; inner first
// values and ends come from the outer values current when the level starts.
//
//   level 1  y_scale_1  0.5 .. 1.0
//   level 2  z_scale_1  y_scale_1 * 0.5 .. y_scale_1
//   level 3  x_scale_2  0.1 .. 1.0
//   level 4  y_scale_2  x_scale_2 * 0.5 .. x_scale_2
//   level 5  z_scale_2  y_scale_2 * 0.5 .. y_scale_2
//   level 6  x_shift    1.0 - x_scale_2 .. 1.0 + x_scale_2   (one shape per value)
//
// The visitor sees `enter(level, params)` at each value of levels 1 to 5
// (params holds that level's value and every outer one), `shape(params)` at
// each level-6 value, and `leave(level)` once a value of levels 1 to 5 is
// done. Any of them returning false ends the walk at once; walk_grid then
// returns false. Counting and sweeping share this one loop so that they
// always agree. `step` must be greater than 0.
template <class Visitor>
bool walk_grid(double step, Visitor& visitor)
{
    double p[param::count] = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (p[1] = 0.5; p[1] <= 1.0; p[1] = p[1] + step) {
        if (!visitor.enter(1, p)) return false;
        for (p[2] = p[1] * 0.5; p[2] <= p[1]; p[2] = p[2] + step) {
            if (!visitor.enter(2, p)) return false;
            for (p[3] = 0.1; p[3] <= 1.0; p[3] = p[3] + step) {
                if (!visitor.enter(3, p)) return false;
                for (p[4] = p[3] * 0.5; p[4] <= p[3]; p[4] = p[4] + step) {
                    if (!visitor.enter(4, p)) return false;
                    for (p[5] = p[4] * 0.5; p[5] <= p[4]; p[5] = p[5] + step) {
                        if (!visitor.enter(5, p)) return false;
                        for (p[6] = 1.0 - p[3]; p[6] <= 1.0 + p[3]; p[6] = p[6] + step)
                            if (!visitor.shape(p)) return false;
                        if (!visitor.leave(5)) return false;
                    }
                    if (!visitor.leave(4)) return false;
                }
                if (!visitor.leave(3)) return false;
            }
            if (!visitor.leave(2)) return false;
        }
        if (!visitor.leave(1)) return false;
    }
    return true;
}

// The size of the shape grid for one step: N shapes (level-6 values) and P
// progress steps (level-2 values), or `too_large` when N would pass `limit`.
struct grid_count {
    int64_t shapes = 0;
    int64_t progress_steps = 0;
    bool too_large = false;
};

// Counts the grid without building anything; stops once the count passes
// `limit`. `step` must be greater than 0.
grid_count count_grid(double step, int64_t limit);
