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

// Reads one line of a summary table as write_summary writes it: a shape
// number from 1 to `shapes`, seven finite parameters, a finite best shift
// and a misfit (NaN for a shape the model could not fit), separated by
// blanks, nothing after them. False when the line is not that.
bool parse_summary_line(const std::string& line, int64_t shapes, summary_row& row);

// Reads one line of a block-fit table after its header as write_block_fits
// writes it: "shape,block,shift,misfit", the shape from 1 to `shapes`, the
// block a whole number from 0, the shift finite. False when it is not that.
bool parse_block_fit_line(const std::string& line, int64_t shapes);

// Reads one line of the chi2 fit's block table after its header as
// write_chi2_fits writes it: "shape,block,points,chi2,zero_point", the
// shape from 1 to `shapes`, the block a whole number from 0, the points
// from 1, the zero point finite. False when it is not that.
bool parse_chi2_fit_line(const std::string& line, int64_t shapes);

// Reads the summary table of a grid of `shapes` shapes into `rows`: false
// with `why` ("PATH:LINE: ...") when it cannot be read, a line is not a row
// of the grid (parse_summary_line), or the shape numbers do not increase
// from line to line as a sweep writes them.
bool read_summary(const std::string& path, int64_t shapes, std::vector<summary_row>& rows, std::string& why);

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

// The first line of a block-fit table.
constexpr const char* block_fits_header = "shape,block,shift,misfit";

// Writes the block fits: a header line, then shape, block, shift and misfit
// for every shape (or with `only` those whose flag is 1) and block; false
// with `why` when it cannot.
bool write_block_fits(const std::string& path, const block_fit* fits, int32_t shapes,
                      const std::vector<int32_t>& block_ids, const uint8_t* only, std::string& why);

// The first line of the chi2 fit's block table.
constexpr const char* chi2_fits_header = "shape,block,points,chi2,zero_point";

// Writes the chi2 fit's block table: a header line, then for every shape
// (or with `only` those whose flag is 1) and block the shape, the block,
// its points, its chi2 and its zero point (mag; as block_fit holds them:
// misfit and best_shift); false with `why` when it cannot.
bool write_chi2_fits(const std::string& path, const block_fit* fits, int32_t shapes,
                     const std::vector<int32_t>& block_ids, const std::vector<int32_t>& block_points,
                     const uint8_t* only, std::string& why);
