#include "sweep/eval_shape.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "common/control_ids.hpp"
#include "common/fnv1a.hpp"
#include "common/handles.hpp"
#include "photometry/brightness.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/view_geometry.hpp"
#include "photometry/visibility.hpp"
#include "sweep/chi2_fit.hpp"

namespace {

constexpr double two_pi = 6.283185307179586;

// Least and greatest of v[0 .. n-1], each replaced only by a strictly smaller
// (greater) later element.
void value_range(const double* v, int32_t n, double& lo, double& hi)
{
    assert(n >= 1);
    lo = v[0];
    hi = v[0];
    for (int32_t i = 1; i < n; ++i) {
        if (v[i] < lo) lo = v[i];
        if (v[i] > hi) hi = v[i];
    }
}

// Shows the evaluation's own failure box: caption "Tavrin", no owner, no icon.
void report_failure(status_ops* ui, const char* text)
{
    if (ui) ui->message_box(text, "Tavrin", box_icon::none, box_owner::none);
}

// The shift of the smallest score(s) over s = 0 .. n - 1 (equal scores keep
// the smaller shift) into `misfit` and, as a fraction of n - 1, into
// `best_shift`; NaN with shift 0 when a magnitude was not finite.
template <class Score>
void best_cyclic_shift(int32_t n, bool finite, Score score, double& misfit, double& best_shift)
{
    // A shift is a fraction of n - 1: a block needs two samples at least.
    assert(n >= 2);
    double best = -1.0;
    int32_t s_best = 0;
    for (int32_t s = 0; s < n; ++s) {
        const double value = score(s);
        if (best == -1.0 || value < best) {
            best = value;
            s_best = s;
        }
    }
    // A sample without a finite magnitude (brightness 0) makes the fit
    // meaningless whichever sample it is: NaN, as for a flat lightcurve.
    if (!finite) {
        best = std::nan("");
        s_best = 0;
    }
    misfit = best;
    best_shift = rescale(static_cast<double>(s_best), 0.0, static_cast<double>(n - 1), 0.0, 1.0);
}

}  // namespace

int finish_shape(const shape_job& job, const double* brightness, double* magnitudes, checked_file& out,
                 shape_result* table, shape_outcome& outcome)
{
    for (int32_t i = 0; i < job.sample_count; ++i) magnitudes[i] = std::log10(brightness[i]) * (-2.5);
    // The fit comes before the file: the chi2 fit's file holds the model
    // moved onto the observations by each block's zero point.
    const int32_t count = std::max(job.block_count, 1);
    std::vector<block_fit> fits(static_cast<std::size_t>(count));
    double misfit, best_shift;
    fit_blocks(job, magnitudes, misfit, best_shift, fits.data());
    // The file's checksum is taken from the very bytes written, so that a
    // resumed sweep can tell the file whole from one of the same size.
    uint64_t checksum = fnv1a_start;
    const bool chi2 = job.fit == fit_mode::chi2;
    for (int32_t b = 0, i = 0; i < job.sample_count && !job.no_curves; ++i) {
        while (chi2 && i >= job.block_starts[b + 1]) ++b;
        const double value = chi2 ? magnitudes[i] + fits[static_cast<std::size_t>(b)].best_shift : brightness[i];
        // Two doubles in %lf take at most 2 x 317 characters.
        char line[1024];
        const int n = std::snprintf(line, sizeof line, "%lf %.6lf\n", job.sample_times[i], value);
        assert(n > 0 && static_cast<std::size_t>(n) < sizeof line);
        checksum = fnv1a(checksum, line, static_cast<std::size_t>(n));
        if (!out.write(line, static_cast<std::size_t>(n))) break;
    }
    if (!job.no_curves && !out.close()) {
        outcome.failure = out.error();
        out.discard();
        return 0;
    }
    outcome.file_bytes = job.no_curves ? 0 : out.bytes();
    outcome.file_checksum = job.no_curves ? 0 : checksum;
    if (job.curves_out)
        std::copy(magnitudes, magnitudes + job.sample_count,
                  job.curves_out + static_cast<std::size_t>(job.shape_number - 1) * job.sample_count);
    shape_result& row = table[job.shape_number - 1];
    for (int p = 0; p < param::count; ++p) row.shape_params[p] = job.shape_params[p];
    row.misfit = misfit;
    row.best_shift = best_shift;
    if (job.block_fits)
        std::copy(fits.begin(), fits.end(), job.block_fits + static_cast<std::size_t>(job.shape_number - 1) * count);
    return 1;
}

void report_memory_failure(status_ops* ui, shape_outcome& outcome, int32_t shape_number)
{
    if (ui) ui->set_item_text(ctl::status_line, "memory leak");
    outcome.failure = "not enough memory to evaluate shape " + std::to_string(shape_number);
    outcome.out_of_memory = true;
}

double rescale(double x, double from_lo, double from_hi, double to_lo, double to_hi)
{
    return (x - from_lo) * (to_hi - to_lo) / (from_hi - from_lo) + to_lo;
}

namespace {

// The reference magnitudes into `r`, and the synthetic ones rescaled onto
// their range into `y` (which does not depend on the shift); whether every
// synthetic magnitude is finite.
bool rescale_to_reference(const double* m, const phot_point* ref, int32_t n, std::vector<double>& r,
                          std::vector<double>& y)
{
    r.resize(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) r[static_cast<std::size_t>(i)] = ref[i].magnitude;
    double r_min, r_max, m_min, m_max;
    value_range(r.data(), n, r_min, r_max);
    value_range(m, n, m_min, m_max);
    y.resize(static_cast<std::size_t>(n));
    bool finite = true;
    for (int32_t j = 0; j < n; ++j) {
        finite = finite && std::isfinite(m[j]);
        y[static_cast<std::size_t>(j)] = rescale(m[j], m_min, m_max, r_min, r_max);
    }
    return finite;
}

// The mean difference m[j] - ref[(s + j) mod n]: the constant that
// minimises the squares at shift s.
double offset_mean(const double* m, const phot_point* ref, int32_t n, int32_t s)
{
    double mean = 0.0;
    for (int32_t j = 0; j < n; ++j) {
        const int32_t k = s + j < n ? s + j : s + j - n;
        mean = mean + (m[j] - ref[k].magnitude);
    }
    return mean / n;
}

}  // namespace

void fit_cyclic_shift(const double* m, const phot_point* ref, int32_t n, double& misfit, double& best_shift)
{
    std::vector<double> r, y;
    const bool finite = rescale_to_reference(m, ref, n, r, y);

    best_cyclic_shift(
        n, finite,
        [&](int32_t s) {
            double sum = 0.0;
            for (int32_t j = 1; j < n; ++j) {
                const int32_t k = s + j < n ? s + j : s + j - n;
                const double d = y[static_cast<std::size_t>(j)] - r[static_cast<std::size_t>(k)];
                sum = sum + d * d;
            }
            return sum;
        },
        misfit, best_shift);
}

void fit_offset(const double* m, const phot_point* ref, int32_t n, double& misfit, double& best_shift)
{
    bool finite = true;
    for (int32_t j = 0; j < n; ++j) finite = finite && std::isfinite(m[j]);
    best_cyclic_shift(
        n, finite,
        [&](int32_t s) {
            const double mean = offset_mean(m, ref, n, s);
            double sum = 0.0;
            for (int32_t j = 0; j < n; ++j) {
                const int32_t k = s + j < n ? s + j : s + j - n;
                const double d = m[j] - ref[k].magnitude - mean;
                sum = sum + d * d;
            }
            return sum / n;
        },
        misfit, best_shift);
}

namespace {

// The chi2 fit of the job's observed points: the reduced chi2 as the
// misfit, no shift, and per block its zero point and chi2.
void fit_observed_points(const shape_job& job, const double* m, double& misfit, double& best_shift, block_fit* blocks)
{
    std::vector<block_chi2> fits(static_cast<std::size_t>(job.block_count));
    const chi2_total total = fit_chi2(m, job.ref_points, job.block_starts, job.block_count, fits.data());
    misfit = total.reduced;
    best_shift = 0.0;
    if (blocks)
        for (int32_t b = 0; b < job.block_count; ++b)
            blocks[b] = {fits[static_cast<std::size_t>(b)].zero_point, fits[static_cast<std::size_t>(b)].chi2};
}

}  // namespace

void fit_blocks(const shape_job& job, const double* m, double& misfit, double& best_shift, block_fit* blocks)
{
    if (job.fit == fit_mode::chi2) return fit_observed_points(job, m, misfit, best_shift, blocks);
    const int32_t count = std::max(job.block_count, 1);
    // The blocks are of equal length: no sample is left over.
    assert(job.sample_count % count == 0);
    const int32_t n = job.sample_count / count;
    double sum = 0.0;
    for (int32_t b = 0; b < count; ++b) {
        double block_misfit, block_shift;
        const std::size_t first = static_cast<std::size_t>(b) * static_cast<std::size_t>(n);
        if (job.fit == fit_mode::offset)
            fit_offset(m + first, job.ref_points + first, n, block_misfit, block_shift);
        else
            fit_cyclic_shift(m + first, job.ref_points + first, n, block_misfit, block_shift);
        if (blocks) blocks[b] = {block_shift, block_misfit};
        if (b == 0) best_shift = block_shift;
        sum = sum + block_misfit;
    }
    // One block: its own misfit, bit for bit (x / 1 == x).
    misfit = sum / count;
}

void fitted_curve(const shape_job& job, const double* m, double* fitted)
{
    const int32_t count = std::max(job.block_count, 1);
    if (job.fit == fit_mode::chi2) {
        std::vector<block_fit> fits(static_cast<std::size_t>(count));
        double misfit, shift;
        fit_blocks(job, m, misfit, shift, fits.data());
        for (int32_t b = 0; b < count; ++b)
            for (int32_t i = job.block_starts[b]; i < job.block_starts[b + 1]; ++i)
                fitted[i] = std::isfinite(fits[static_cast<std::size_t>(b)].misfit)
                                ? m[i] + fits[static_cast<std::size_t>(b)].best_shift
                                : std::nan("");
        return;
    }
    assert(job.sample_count % count == 0);
    const int32_t n = job.sample_count / count;
    std::vector<block_fit> fits(static_cast<std::size_t>(count));
    double misfit, shift;
    fit_blocks(job, m, misfit, shift, fits.data());
    for (int32_t b = 0; b < count; ++b) {
        const std::size_t first = static_cast<std::size_t>(b) * static_cast<std::size_t>(n);
        const double* mb = m + first;
        const phot_point* ref = job.ref_points + first;
        double* out = fitted + first;
        if (!std::isfinite(fits[b].misfit)) {
            std::fill(out, out + n, std::nan(""));
            continue;
        }
        // best_shift is s / (n - 1), exact enough to round back to s.
        const int32_t s = n > 1 ? static_cast<int32_t>(std::lround(fits[b].best_shift * (n - 1))) : 0;
        if (job.fit == fit_mode::offset) {
            const double mean = offset_mean(mb, ref, n, s);
            for (int32_t j = 0; j < n; ++j) out[(s + j) % n] = mb[j] - mean;
        } else {
            std::vector<double> r, y;
            rescale_to_reference(mb, ref, n, r, y);
            for (int32_t j = 0; j < n; ++j) out[(s + j) % n] = y[static_cast<std::size_t>(j)];
        }
    }
}

std::string lightcurve_file_name(int32_t shape_number)
{
    char name[64];
    std::snprintf(name, sizeof name, "output/%05i.lc.txt", shape_number);
    return name;
}

double rotation_angle(double t, double t0, double period, double phi0)
{
    const double u = (t - t0) / period;
    const double f = std::fmod(u, 1.0);
    const double g = (f + 1.0) * two_pi + phi0;
    return std::fmod(g, two_pi);
}

bool prepare_shape(const shape_job& job, prepared_shape& shape, status_ops* ui, shape_outcome& outcome)
{
    shape.facet_count = 2 * job.facet_count;
    if (!copy_array(shape.vertices, job.vertices, static_cast<std::size_t>(job.vertex_count))) {
        report_memory_failure(ui, outcome, job.shape_number);
        return false;
    }
    const double h = job.shape_params[param::x_shift] * 0.5;
    const int32_t half = job.vertex_count / 2;
    for (int32_t k = 0; k < job.vertex_count; ++k) {
        vec3& v = shape.vertices[static_cast<std::size_t>(k)];
        if (k < half)
            v.x = v.x - h;
        else
            v.x = h + v.x;
    }
    if (!comp_normal(shape.facet_count, shape.vertices.data(), job.facets, shape.normals, ui)) {
        report_failure(ui, " comp_normal failed");
        outcome.failure = "shape " + std::to_string(job.shape_number) + ": comp_normal failed";
        return false;
    }
    if (!comp_facet_center(shape.facet_count, shape.vertices.data(), job.facets, shape.centres)) {
        report_failure(ui, " comp_facet_center failed");
        outcome.failure = "shape " + std::to_string(job.shape_number) + ": comp_facet_center failed";
        return false;
    }
    return true;
}

bool sample_brightness(const shape_job& job, const prepared_shape& shape, double* brightness, status_ops* ui,
                       shape_outcome& outcome, const stop_request& stop)
{
    const int32_t n = shape.facet_count;
    const std::size_t size = static_cast<std::size_t>(n);
    std::vector<uint8_t> vis_bytes;
    std::vector<proj_facet> records;
    const photo_params params;
    for (int32_t i = 0; i < job.sample_count; ++i) {
        if (stop.requested()) {
            outcome.stopped = true;
            return false;
        }
        const double phi = rotation_angle(job.sample_times[i], job.t0, job.period, job.phi0);
        mat3 body_rot, earth_frame, sun_frame;
        comp_view_matrices(body_rot, earth_frame, sun_frame, job.earth_dirs[i], job.sun_dirs[i], job.lambda, job.beta,
                           phi);
        comp_visibility(vis_bytes, records, shape.vertices.data(), job.facets, shape.centres.data(),
                        shape.normals.data(), n, body_rot, earth_frame, sun_frame, job.earth_dirs[i], job.sun_dirs[i],
                        ui);
        // Without this sample's bytes there is no brightness to compute.
        if (vis_bytes.size() != size || records.size() != size) {
            report_memory_failure(ui, outcome, job.shape_number);
            return false;
        }
        double cos_phase, seen_area;
        brightness[i] = comp_brightness(shape.normals.data(), body_rot, n, cos_phase, seen_area, vis_bytes.data(),
                                        job.earth_dirs[i], job.sun_dirs[i], params);
    }
    return true;
}

int eval_shape(shape_job job, shape_result* table, status_ops* ui, shape_outcome& result, const stop_request& stop)
{
    prepared_shape shape;
    if (!prepare_shape(job, shape, ui, result)) return 0;
    std::vector<double> brightness;
    std::vector<double> magnitudes;
    if (!replace_array(brightness, static_cast<std::size_t>(job.sample_count)) ||
        !replace_array(magnitudes, static_cast<std::size_t>(job.sample_count))) {
        report_memory_failure(ui, result, job.shape_number);
        return 0;
    }
    checked_file out;
    if (!job.no_curves && !out.open(lightcurve_file_name(job.shape_number))) {
        result.failure = out.error();
        return 0;
    }
    if (!sample_brightness(job, shape, brightness.data(), ui, result, stop)) {
        out.discard();
        return 0;
    }
    return finish_shape(job, brightness.data(), magnitudes.data(), out, table, result);
}
