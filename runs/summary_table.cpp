#include "runs/summary_table.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

namespace {

// Formats one summary line: best_shift comes before misfit.
int format_summary_line(char* line, std::size_t size, int32_t k, const shape_result& row)
{
    const double* q = row.shape_params;
    return std::snprintf(line, size, "%i %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", k, q[0], q[1], q[2], q[3], q[4], q[5],
                         q[6], row.best_shift, row.misfit);
}

// Reads a whole number from `low` to `high` at `text` (digits, a sign for
// a negative `low`), moving past it; false when there is none or it lies
// outside.
bool read_whole(const char*& text, int64_t low, int64_t high, int64_t& value)
{
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    // Past 19 digits a number passes every bound here.
    int64_t magnitude = 0;
    for (int digits = 0; *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (digits == 18) return false;
        magnitude = magnitude * 10 + (*p - '0');
    }
    value = negative ? -magnitude : magnitude;
    if (value < low || value > high) return false;
    text = p;
    return true;
}

// Reads a number (as strtod does, "nan" among them) at `text`, moving past it.
bool read_number(const char*& text, double& value)
{
    if (*text == ' ' || *text == '\t') return false;
    char* end = nullptr;
    value = std::strtod(text, &end);
    if (end == text) return false;
    text = end;
    return true;
}

// Moves past the blanks between two fields; false when there are none.
bool blank_next(const char*& text)
{
    if (*text != ' ' && *text != '\t') return false;
    while (*text == ' ' || *text == '\t') ++text;
    return true;
}

// Whether only blanks are left.
bool at_end(const char* text)
{
    while (*text == ' ' || *text == '\t') ++text;
    return *text == '\0';
}

}  // namespace

bool write_summary(const std::string& path, const shape_result* rows, int32_t count, const uint8_t* only,
                   std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        char line[512];
        for (int32_t k = 1; k <= count; ++k) {
            if (only && !only[k - 1]) continue;
            const int length = format_summary_line(line, sizeof line, k, rows[k - 1]);
            if (!out.write(line, static_cast<std::size_t>(length))) break;
        }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool write_block_fits(const std::string& path, const block_fit* fits, int32_t shapes,
                      const std::vector<int32_t>& block_ids, const uint8_t* only, std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        out.printf("%s\n", block_fits_header);
        const std::size_t count = block_ids.size();
        for (int32_t k = 1; k <= shapes && out.error().empty(); ++k)
            for (std::size_t b = 0; b < count && (!only || only[k - 1]); ++b) {
                const block_fit& f = fits[static_cast<std::size_t>(k - 1) * count + b];
                out.printf("%i,%i,%lf,%lf\n", k, block_ids[b], f.best_shift, f.misfit);
            }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool write_chi2_fits(const std::string& path, const block_fit* fits, int32_t shapes,
                     const std::vector<int32_t>& block_ids, const std::vector<int32_t>& block_points,
                     const uint8_t* only, std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        out.printf("%s\n", chi2_fits_header);
        const std::size_t count = block_ids.size();
        for (int32_t k = 1; k <= shapes && out.error().empty(); ++k)
            for (std::size_t b = 0; b < count && (!only || only[k - 1]); ++b) {
                const block_fit& f = fits[static_cast<std::size_t>(k - 1) * count + b];
                out.printf("%i,%i,%i,%.9g,%lf\n", k, block_ids[b], block_points[b], f.misfit, f.best_shift);
            }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool parse_summary_line(const std::string& line, int64_t shapes, summary_row& row)
{
    const char* text = line.c_str();
    int64_t shape = 0;
    double values[9];
    if (line.find('\0') != std::string::npos || !read_whole(text, 1, std::min<int64_t>(shapes, INT32_MAX), shape) ||
        !blank_next(text))
        return false;
    for (int i = 0; i < 9; ++i)
        if (!read_number(text, values[i]) || !(i == 8 ? at_end(text) : blank_next(text))) return false;
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(values[i])) return false;
    row.shape = static_cast<int>(shape);
    std::copy(values, values + 7, row.params);
    row.best_shift = values[7];
    row.misfit = values[8];
    return true;
}

bool parse_block_fit_line(const std::string& line, int64_t shapes)
{
    const char* text = line.c_str();
    int64_t shape = 0, block = 0;
    double shift = 0.0, misfit = 0.0;
    return line.find('\0') == std::string::npos && read_whole(text, 1, shapes, shape) && *text++ == ',' &&
           read_whole(text, 0, INT32_MAX, block) && *text++ == ',' && read_number(text, shift) &&
           std::isfinite(shift) && *text++ == ',' && read_number(text, misfit) && at_end(text);
}

bool parse_chi2_fit_line(const std::string& line, int64_t shapes)
{
    const char* text = line.c_str();
    int64_t shape = 0, block = 0, points = 0;
    double chi2 = 0.0, zero_point = 0.0;
    return line.find('\0') == std::string::npos && read_whole(text, 1, shapes, shape) && *text++ == ',' &&
           read_whole(text, 0, INT32_MAX, block) && *text++ == ',' && read_whole(text, 1, INT32_MAX, points) &&
           *text++ == ',' && read_number(text, chi2) && *text++ == ',' && read_number(text, zero_point) &&
           std::isfinite(zero_point) && at_end(text);
}

bool read_summary(const std::string& path, int64_t shapes, std::vector<summary_row>& rows, std::string& why)
{
    rows.clear();
    input_file in(path);
    if (!in) {
        why = "cannot read " + in.error();
        return false;
    }
    std::string line;
    int64_t number = 0;
    errno = 0;
    while (std::getline(in, line)) {
        ++number;
        summary_row r;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (!parse_summary_line(line, shapes, r)) {
            why = where + "not a row of the summary table of " + std::to_string(shapes) + " shapes";
            return false;
        }
        if (!rows.empty() && r.shape <= rows.back().shape) {
            why = where + "shape " + std::to_string(r.shape) + " after shape " + std::to_string(rows.back().shape) +
                  ": a sweep writes its rows in shape order";
            return false;
        }
        rows.push_back(r);
    }
    if (in.bad()) {
        why = file_failure("read", path, errno ? errno : EIO);
        return false;
    }
    return true;
}

std::vector<summary_row> best_fits(std::vector<summary_row> rows, std::size_t count)
{
    std::sort(rows.begin(), rows.end(), [](const summary_row& a, const summary_row& b) {
        const bool a_nan = std::isnan(a.misfit);
        const bool b_nan = std::isnan(b.misfit);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan && a.misfit != b.misfit) return a.misfit < b.misfit;
        return a.shape < b.shape;
    });
    if (rows.size() > count) rows.resize(count);
    return rows;
}

void print_best_fits(std::FILE* out, const std::vector<summary_row>& rows)
{
    std::fprintf(out, "best-fitting shapes (lowest misfit first):\n");
    std::fprintf(out, "%8s %9s %9s %9s %9s %9s %9s %10s %12s\n", "shape", "y_scale_1", "z_scale_1", "x_scale_2",
                 "y_scale_2", "z_scale_2", "x_shift", "best_shift", "misfit");
    for (const summary_row& r : rows)
        std::fprintf(out, "%8d %9.4f %9.4f %9.4f %9.4f %9.4f %9.4f %10.6f %12.6g\n", r.shape, r.params[1], r.params[2],
                     r.params[3], r.params[4], r.params[5], r.params[6], r.best_shift, r.misfit);
}
