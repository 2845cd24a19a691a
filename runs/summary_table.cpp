#include "runs/summary_table.hpp"

#include <algorithm>
#include <cmath>
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
        out.printf("shape,block,shift,misfit\n");
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

std::vector<summary_row> read_summary(const std::string& path)
{
    std::vector<summary_row> rows;
    input_file in(path);
    std::string line;
    while (std::getline(in, line)) {
        summary_row r;
        double* p = r.params;
        int items = std::sscanf(line.c_str(), "%d %lf %lf %lf %lf %lf %lf %lf %lf %lf", &r.shape, &p[0], &p[1], &p[2],
                                &p[3], &p[4], &p[5], &p[6], &r.best_shift, &r.misfit);
        if (items == 10) rows.push_back(r);
    }
    return rows;
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
