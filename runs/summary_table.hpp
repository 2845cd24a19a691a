#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sweep/sweep_records.hpp"

// One line of the summary table "output/main.txt".
struct summary_row {
    int shape = 0;
    double params[7] = {};
    double best_shift = 0.0;
    double misfit = 0.0;
};

// Reads the summary table; rows that do not parse are skipped.
std::vector<summary_row> read_summary(const std::string& path);

// The `count` rows of lowest misfit (NaN last, ties by shape number).
std::vector<summary_row> best_fits(std::vector<summary_row> rows, std::size_t count);

// Prints rows as an aligned table.
void print_best_fits(std::FILE* out, const std::vector<summary_row>& rows);

// Writes the summary lines "shape x_scale_1 .. x_shift best_shift misfit"
// of `rows` (all `count` of them, or with `only` those whose flag is 1) to
// `path` through a temporary file renamed into place; false with `why`
// when it could not be written.
bool write_summary(const std::string& path, const shape_result* rows, int32_t count, const uint8_t* only,
                   std::string& why);

// Writes the block fits: a header line, then shape, block, shift and misfit
// for every shape (or with `only` those whose flag is 1) and block; false
// with `why` when it cannot.
bool write_block_fits(const std::string& path, const block_fit* fits, int32_t shapes,
                      const std::vector<int32_t>& block_ids, const uint8_t* only, std::string& why);
