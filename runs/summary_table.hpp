#pragma once

#include <cstdio>
#include <string>
#include <vector>

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
