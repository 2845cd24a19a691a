#include "sweep/chi2_fit.hpp"

#include <cmath>

block_chi2 fit_block_chi2(const double* m, const phot_point* obs, int32_t n)
{
    block_chi2 fit;
    fit.points = n;
    double weights = 0.0, weighted = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double w = 1.0 / (obs[i].sigma * obs[i].sigma);
        weights = weights + w;
        weighted = weighted + w * (obs[i].magnitude - m[i]);
    }
    fit.zero_point = weighted / weights;
    // One point is matched exactly; w (o - m) / w may differ from o - m in
    // its last bit, so it is not left to the sums.
    if (n == 1) {
        fit.zero_point = obs[0].magnitude - m[0];
        fit.chi2 = std::isfinite(fit.zero_point) ? 0.0 : std::nan("");
        fit.residual_squares = fit.chi2;
        return fit;
    }
    for (int32_t i = 0; i < n; ++i) {
        const double w = 1.0 / (obs[i].sigma * obs[i].sigma);
        const double r = (obs[i].magnitude - m[i]) - fit.zero_point;
        fit.chi2 = fit.chi2 + w * r * r;
        fit.residual_squares = fit.residual_squares + r * r;
    }
    return fit;
}

chi2_total fit_chi2(const double* m, const phot_point* obs, const int32_t* starts, int32_t blocks, block_chi2* fits)
{
    chi2_total total;
    total.blocks = blocks;
    for (int32_t b = 0; b < blocks; ++b) {
        const int32_t first = starts[b];
        const block_chi2 fit = fit_block_chi2(m + first, obs + first, starts[b + 1] - first);
        total.chi2 = total.chi2 + fit.chi2;
        total.points += fit.points;
        if (fits) fits[b] = fit;
    }
    const int32_t nu = total.points - total.blocks;
    total.reduced = nu >= 1 ? total.chi2 / nu : std::nan("");
    return total;
}
