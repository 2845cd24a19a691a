#include "inversion/pole_grid.hpp"

#include <healpix_base.h>

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

constexpr double degrees_per_radian = 57.29577951308232;

// The pole at the centre of pixel `pixel` of resolution `nside`.
pole centre_of(const Healpix_Base& base, int32_t nside, int64_t pixel)
{
    const pointing at = base.pix2ang(static_cast<int>(pixel));
    pole p;
    p.lambda_deg = at.phi * degrees_per_radian;
    if (p.lambda_deg >= 360.0) p.lambda_deg -= 360.0;
    p.beta_deg = 90.0 - at.theta * degrees_per_radian;
    p.nside = nside;
    p.pixel = pixel;
    return p;
}

// The HEALPix order of a power of two.
int order_of(int32_t nside)
{
    int order = 0;
    while ((int32_t{1} << order) < nside) ++order;
    return order;
}

}  // namespace

bool check_pole_nside(int64_t nside, std::string& why)
{
    if (nside < 1 || nside > max_pole_nside || (nside & (nside - 1)) != 0) {
        why = "the pole resolution must be a power of two from 1 to " + std::to_string(max_pole_nside) +
              " (12, 48, 192, ... poles), not " + std::to_string(nside);
        return false;
    }
    return true;
}

std::vector<pole> pole_grid(int32_t nside)
{
    assert(nside >= 1 && nside <= max_pole_nside && (nside & (nside - 1)) == 0);
    const Healpix_Base base(order_of(nside), NEST);
    std::vector<pole> poles;
    poles.reserve(static_cast<std::size_t>(base.Npix()));
    for (int64_t i = 0; i < base.Npix(); ++i) poles.push_back(centre_of(base, nside, i));
    return poles;
}

std::vector<pole> pole_children(const pole& p)
{
    assert(p.nside >= 1 && p.nside < max_pole_nside);
    const int32_t nside = 2 * p.nside;
    const Healpix_Base base(order_of(nside), NEST);
    std::vector<pole> children;
    for (int64_t k = 0; k < 4; ++k) children.push_back(centre_of(base, nside, 4 * p.pixel + k));
    return children;
}

std::vector<std::pair<double, double>> pixel_outline(int32_t nside, double lambda_deg, double beta_deg, int steps)
{
    assert(nside >= 1 && nside <= max_pole_nside && (nside & (nside - 1)) == 0 && steps >= 1);
    const Healpix_Base base(order_of(nside), NEST);
    const int pixel = base.ang2pix(pointing((90.0 - beta_deg) / degrees_per_radian, lambda_deg / degrees_per_radian));
    std::vector<vec3> corners;
    base.boundaries(pixel, static_cast<tsize>(steps), corners);
    std::vector<std::pair<double, double>> out;
    for (const vec3& v : corners) {
        double lambda = std::atan2(v.y, v.x) * degrees_per_radian;
        if (lambda < 0.0) lambda += 360.0;
        const double beta = std::atan2(v.z, std::hypot(v.x, v.y)) * degrees_per_radian;
        out.emplace_back(lambda, beta);
    }
    return out;
}

double pole_spacing_deg(int32_t nside)
{
    return std::sqrt(4.0 * M_PI / 12.0) / nside * degrees_per_radian;
}

double pole_distance_deg(double lambda1_deg, double beta1_deg, double lambda2_deg, double beta2_deg)
{
    const double l1 = lambda1_deg / degrees_per_radian, b1 = beta1_deg / degrees_per_radian;
    const double l2 = lambda2_deg / degrees_per_radian, b2 = beta2_deg / degrees_per_radian;
    // The haversine form keeps small angles accurate.
    const double s = std::sin((b2 - b1) / 2), t = std::sin((l2 - l1) / 2);
    const double h = s * s + std::cos(b1) * std::cos(b2) * t * t;
    return 2.0 * std::asin(std::sqrt(std::min(1.0, h))) * degrees_per_radian;
}
