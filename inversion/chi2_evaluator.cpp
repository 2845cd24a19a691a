#include "inversion/chi2_evaluator.hpp"

#include <algorithm>
#include <cmath>

#include "lightcurve/observed_points.hpp"
#include "mesh/base_shape.hpp"
#include "sweep/chi2_fit.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/spin.hpp"

namespace {

// The points of the blocks the mask keeps, with their own block starts.
ref_curve kept_blocks(const ref_curve& all, const std::vector<uint8_t>& mask)
{
    if (mask.empty()) return all;
    ref_curve kept;
    for (std::size_t b = 0; b < all.blocks.size(); ++b) {
        if (!mask[b]) continue;
        const auto first = static_cast<std::ptrdiff_t>(all.block_starts[b]);
        const auto end = static_cast<std::ptrdiff_t>(all.block_starts[b + 1]);
        kept.block_starts.push_back(static_cast<int32_t>(kept.times.size()));
        kept.blocks.push_back(all.blocks[b]);
        kept.times.insert(kept.times.end(), all.times.begin() + first, all.times.begin() + end);
        kept.photometry.insert(kept.photometry.end(), all.photometry.begin() + first, all.photometry.begin() + end);
        kept.sun.insert(kept.sun.end(), all.sun.begin() + first, all.sun.begin() + end);
        kept.earth.insert(kept.earth.end(), all.earth.begin() + first, all.earth.begin() + end);
    }
    kept.block_starts.push_back(static_cast<int32_t>(kept.times.size()));
    return kept;
}

// Whether every number of the model point is finite.
bool finite_point(const chi2_point& p)
{
    for (double v : p.shape)
        if (!std::isfinite(v)) return false;
    return std::isfinite(p.lambda_deg) && std::isfinite(p.beta_deg) && std::isfinite(p.period_hours) &&
           std::isfinite(p.t0) && std::isfinite(p.phi0_deg) && p.period_hours > 0.0;
}

}  // namespace

bool chi2_evaluator::prepare(const ref_curve& points, int subdivisions, std::string& why)
{
    if (!observed_points(points) || !check_observed_points(points, why)) {
        if (why.empty()) why = "the evaluator needs observed points divided into blocks";
        return false;
    }
    if (!check_subdivisions(subdivisions, why)) return false;
    base_ = build_base_mesh(subdivisions);
    if (!base_) {
        why = "not enough memory for the base shape";
        return false;
    }
    points_ = points;
    return true;
}

bool chi2_evaluator::evaluate(const chi2_point& p, chi2_evaluation& out, std::string& why,
                              const std::vector<uint8_t>& mask) const
{
    if (!base_) {
        why = "the evaluator has not been prepared";
        return false;
    }
    if (!mask.empty() && mask.size() != points_.blocks.size()) {
        why =
            "the mask has " + std::to_string(mask.size()) + " entries for " + std::to_string(block_count()) + " blocks";
        return false;
    }
    if (!finite_point(p)) {
        why = "the model point holds a number that is not finite (or a period not above 0)";
        return false;
    }
    const ref_curve kept = kept_blocks(points_, mask);
    if (degrees_of_freedom(kept) < 1) {
        why = "the blocks kept leave no degree of freedom";
        return false;
    }

    // The shape and the samples exactly as the sweep's chi2 fit has them.
    const double params[7] = {1.0, p.shape[0], p.shape[1], p.shape[2], p.shape[3], p.shape[4], p.shape[5]};
    const sweep_spin spin = typed_spin(p.lambda_deg, p.beta_deg, p.period_hours, p.t0, p.phi0_deg);
    std::vector<vec3> deformed;
    deform_vertices(base_->vertices, params, deformed);
    shape_job job = one_shape_job(
        *base_, deformed, params,
        {static_cast<int32_t>(kept.times.size()), kept.earth.data(), kept.sun.data(), kept.times.data()}, spin);
    job.ref_points = kept.photometry.data();
    job.block_count = static_cast<int32_t>(kept.blocks.size());
    job.block_starts = kept.block_starts.data();
    job.fit = fit_mode::chi2;
    job.no_curves = true;

    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    if (!fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) {
        why = outcome.failure.empty() ? "the model could not evaluate the shape" : outcome.failure;
        return false;
    }
    std::vector<double> m(scratch.brightness.size());
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = std::log10(scratch.brightness[i]) * (-2.5);
    std::vector<block_chi2> fits(kept.blocks.size());
    const chi2_total total = fit_chi2(m.data(), job.ref_points, job.block_starts, job.block_count, fits.data());

    out = chi2_evaluation{};
    out.chi2 = total.chi2;
    out.reduced_chi2 = total.reduced;
    out.points = total.points;
    out.blocks = total.blocks;
    out.per_block.resize(points_.blocks.size());
    double squares = 0.0;
    for (std::size_t b = 0, k = 0; b < points_.blocks.size(); ++b) {
        if (!mask.empty() && !mask[b]) continue;
        const block_chi2& f = fits[k++];
        out.per_block[b] = {true, f.chi2, f.points, f.zero_point};
        squares = squares + f.residual_squares;
    }
    out.rms = std::sqrt(squares / total.points);
    return true;
}
