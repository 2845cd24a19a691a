#include "inversion/noise_estimate.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586;

// A column is taken as dependent on those before it when the part of it
// they do not explain is below this fraction of its length.
constexpr double dependence_limit = 1e-9;

// The design matrix of order K, column-major: n rows, 2 K + 1 columns
// (1, then cos and sin of each harmonic), phases from the block's first time.
std::vector<double> design(const double* t, int32_t n, double period_days, int32_t order)
{
    const std::size_t rows = static_cast<std::size_t>(n);
    std::vector<double> a(rows * static_cast<std::size_t>(2 * order + 1));
    for (std::size_t i = 0; i < rows; ++i) {
        const double phase = two_pi * ((t[i] - t[0]) / period_days);
        a[i] = 1.0;
        for (int32_t k = 1; k <= order; ++k) {
            a[rows * static_cast<std::size_t>(2 * k - 1) + i] = std::cos(k * phase);
            a[rows * static_cast<std::size_t>(2 * k) + i] = std::sin(k * phase);
        }
    }
    return a;
}

// The residual sum of squares of the least-squares fit of `y` by the
// columns of `a` (n rows, p columns, column-major), by Householder
// reflections applied to `a` and `y` in place; false when a column is
// numerically dependent on those before it.
bool least_squares_rss(std::vector<double>& a, std::vector<double> y, int32_t n, int32_t p, double& rss)
{
    const std::size_t rows = static_cast<std::size_t>(n);
    for (int32_t j = 0; j < p; ++j) {
        double* col = a.data() + rows * static_cast<std::size_t>(j);
        double whole = 0.0, below = 0.0;
        for (std::size_t i = 0; i < rows; ++i) whole = whole + col[i] * col[i];
        for (std::size_t i = static_cast<std::size_t>(j); i < rows; ++i) below = below + col[i] * col[i];
        const double norm = std::sqrt(below);
        if (!(norm > dependence_limit * std::sqrt(whole))) return false;
        // The reflection v = x + sign(x0) |x| e0 sends column j's lower part onto e0.
        const double alpha = col[j] >= 0.0 ? -norm : norm;
        std::vector<double> v(col + j, col + n);
        v[0] = v[0] - alpha;
        double vv = 0.0;
        for (double x : v) vv = vv + x * x;
        const auto reflect = [&](double* x) {
            double dot = 0.0;
            for (std::size_t i = 0; i < v.size(); ++i) dot = dot + v[i] * x[i];
            const double f = 2.0 * dot / vv;
            for (std::size_t i = 0; i < v.size(); ++i) x[i] = x[i] - f * v[i];
        };
        for (int32_t c = j; c < p; ++c) reflect(a.data() + rows * static_cast<std::size_t>(c) + j);
        reflect(y.data() + j);
    }
    // What the columns leave unexplained: the reflected y below row p.
    rss = 0.0;
    for (std::size_t i = static_cast<std::size_t>(p); i < rows; ++i) rss = rss + y[i] * y[i];
    return std::isfinite(rss);
}

// The median of a list that is not empty: the mean of the middle two for
// an even count.
double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t h = v.size() / 2;
    return v.size() % 2 == 1 ? v[h] : (v[h - 1] + v[h]) / 2.0;
}

}  // namespace

bool fit_fourier_scatter(const double* t, const double* m, int32_t n, double period_days, fourier_scatter& fit)
{
    if (n < min_estimate_points) return false;
    bool any = false;
    double best_bic = 0.0;
    const std::vector<double> y(m, m + n);
    for (int32_t order = 0; order <= max_fourier_order && n > 2 * order + 2; ++order) {
        const int32_t p = 2 * order + 1;
        std::vector<double> a = design(t, n, period_days, order);
        double rss = 0.0;
        // A dependent order leaves every higher one dependent too.
        if (!least_squares_rss(a, y, n, p, rss)) break;
        const double bic = n * std::log(rss / n) + p * std::log(static_cast<double>(n));
        if (!any || bic < best_bic) {
            best_bic = bic;
            fit.order = order;
            fit.rss = rss;
            fit.sigma = std::sqrt(rss / (n - p));
        }
        any = true;
    }
    return any && std::isfinite(fit.sigma);
}

std::vector<block_sigma> block_sigmas(const ref_curve& points, double period_days, double given)
{
    const std::size_t blocks = points.blocks.size();
    std::vector<block_sigma> out(blocks);
    std::vector<double> estimated;
    for (std::size_t b = 0; b < blocks && !(given > 0.0); ++b) {
        const int32_t first = points.block_starts[b];
        const int32_t n = points.block_starts[b + 1] - first;
        std::vector<double> m(static_cast<std::size_t>(n));
        for (int32_t i = 0; i < n; ++i) m[static_cast<std::size_t>(i)] = points.photometry[first + i].magnitude;
        fourier_scatter fit;
        if (!fit_fourier_scatter(points.times.data() + first, m.data(), n, period_days, fit)) continue;
        out[b] = {fit.sigma, sigma_source::estimated, fit.order, false};
        estimated.push_back(std::max(fit.sigma, sigma_floor));
    }
    const double others = estimated.empty() ? default_sigma : median(estimated);
    for (block_sigma& s : out) {
        // A sigma given is taken as it is.
        if (given > 0.0) {
            s = {given, sigma_source::given, -1, false};
            continue;
        }
        if (s.source != sigma_source::estimated)
            s = {others, estimated.empty() ? sigma_source::fallback : sigma_source::median_of_others, -1, false};
        if (!(s.sigma >= sigma_floor)) {
            s.sigma = sigma_floor;
            s.floored = true;
        }
    }
    return out;
}

void apply_block_sigmas(ref_curve& points, const std::vector<block_sigma>& sigmas)
{
    for (std::size_t b = 0; b < sigmas.size(); ++b)
        for (int32_t i = points.block_starts[b]; i < points.block_starts[b + 1]; ++i)
            points.photometry[static_cast<std::size_t>(i)].sigma = sigmas[b].sigma;
}
