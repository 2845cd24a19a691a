#include "runs/dense_curve.hpp"

#include <algorithm>
#include <cmath>

#include "runs/block_facts.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/spin.hpp"

namespace {

// The point a fraction `f` of the way from a to b.
vec3 between(vec3 a, vec3 b, double f)
{
    return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f};
}

}  // namespace

int32_t dense_samples(double span_days, double period_days)
{
    if (!(span_days > 0.0) || !(period_days > 0.0)) return 200;
    const double wanted = 200.0 * span_days / period_days;
    return static_cast<int32_t>(std::clamp(std::ceil(wanted), 200.0, 4000.0));
}

bool dense_block_curve(const run_results& run, const shape_curves& curves, int32_t b, timed_curve& curve,
                       std::string& why)
{
    curve = timed_curve{};
    const ref_curve& ref = *run.reference;
    if (!observed_points(ref)) {
        why = "a dense model curve is drawn for the chi2 fit only";
        return false;
    }
    const block_fit& fit = curves.fits[static_cast<std::size_t>(b)];
    if (!std::isfinite(fit.misfit)) {
        why = "the block has no fit";
        return false;
    }
    const sample_span span = block_samples(ref, b, curves.block_count);
    const run_inputs& in = run.manifest.inputs;
    const double t_first = ref.times[span.first], t_last = ref.times[span.first + span.count - 1];
    const int32_t n = span.count > 1 ? dense_samples(t_last - t_first, in.period_hours / 24.0) : 1;
    std::vector<vec3> earth(static_cast<std::size_t>(n)), sun(static_cast<std::size_t>(n));
    curve.times.resize(static_cast<std::size_t>(n));
    std::size_t k = span.first;  // the sample at or before the time
    for (int32_t i = 0; i < n; ++i) {
        const double t = n > 1 ? t_first + (t_last - t_first) * i / (n - 1) : t_first;
        while (k + 2 < span.first + span.count && ref.times[k + 1] <= t) ++k;
        const std::size_t next = std::min(k + 1, span.first + span.count - 1);
        const double gap = ref.times[next] - ref.times[k];
        const double f = gap > 0.0 ? std::clamp((t - ref.times[k]) / gap, 0.0, 1.0) : 0.0;
        curve.times[static_cast<std::size_t>(i)] = t;
        earth[static_cast<std::size_t>(i)] = between(ref.earth[k], ref.earth[next], f);
        sun[static_cast<std::size_t>(i)] = between(ref.sun[k], ref.sun[next], f);
    }

    sweep_args args =
        make_sweep_args(run.base, run.reference,
                        typed_spin(in.lambda_deg, in.beta_deg, in.period_hours, in.t0, in.phi0_deg), in.step, 1);
    shape_job& job = args.job;
    std::vector<vec3> deformed;
    deform_vertices(run.base->vertices, curves.params, deformed);
    job.vertices = deformed.data();
    job.shape_number = curves.shape;
    std::copy(curves.params, curves.params + param::count, job.shape_params);
    job.sample_count = n;
    job.sample_times = curve.times.data();
    job.earth_dirs = earth.data();
    job.sun_dirs = sun.data();
    const std::vector<sample_view> views = shared_sample_views(job);
    shape_scratch scratch;
    shape_outcome outcome;
    if (!fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {})) {
        why = outcome.failure.empty() ? "the model could not evaluate the shape" : outcome.failure;
        return false;
    }
    curve.magnitudes.resize(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        curve.magnitudes[static_cast<std::size_t>(i)] =
            std::log10(scratch.brightness[static_cast<std::size_t>(i)]) * (-2.5) + fit.best_shift;
    return true;
}
