#pragma once

#include <cstdint>

// The size of the shape grid for one step: N shapes (level-6 values) and P
// progress steps (level-2 values), or `too_large` when N would pass `limit`.
struct grid_count {
    int64_t shapes = 0;
    int64_t progress_steps = 0;
    bool too_large = false;
};

// Runs the six loops of the grid with exactly the walk's arithmetic (the
// same first values, ends, accumulated additions and comparisons) without
// building anything. Stops as soon as the count passes `limit`. `step` must
// be greater than 0.
grid_count count_grid(double step, int64_t limit);
