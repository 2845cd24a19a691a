#include "photometry/brightness.hpp"

#include <algorithm>
#include <cmath>

#include "photometry/view_geometry.hpp"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double rad_per_deg = 0.017453292519943295;

// The phase function at phase angle alpha (radians).
double phase_function(double alpha, const photo_params& p)
{
    const double x = alpha / (-rad_per_deg) / p.phase_width;
    return (p.phase_amplitude * std::exp(x) + p.phase_slope * alpha / rad_per_deg + 1) / (p.phase_amplitude + 1);
}

}  // namespace

double comp_brightness(const facet_normal* normals, const mat3& body_rot, int32_t n, double& cos_phase,
                       double& seen_area, const uint8_t* vis_bytes, vec3 earth, vec3 sun, photo_params params)
{
    seen_area = 0;
    const vec3 e = body_direction(body_rot, earth);
    const vec3 s = body_direction(body_rot, sun);
    cos_phase = e.x * s.x + e.y * s.y + e.z * s.z;
    // Parallel unit vectors can give a cosine a rounding step beyond 1.
    const double alpha = std::acos(std::clamp(cos_phase, -1.0, 1.0));
    const double phase_factor = phase_function(alpha, params);

    double sum = 0;
    // Missing bytes count no facet.
    if (vis_bytes) {
        const double c = params.lambert_weight;
        for (int32_t j = 0; j < n; ++j) {
            if (vis_bytes[j] == 0) continue;
            const facet_normal& nj = normals[j];
            const double mu = nj.nx * e.x + nj.ny * e.y + nj.nz * e.z;
            const double mu0 = nj.nx * s.x + nj.ny * s.y + nj.nz * s.z;
            if (!(mu > 0)) continue;
            seen_area = seen_area + nj.len * mu;
            sum = sum + (1 / (mu + mu0) + c) * (nj.len * mu * mu0);
        }
    }
    seen_area = seen_area * 0.5;
    return ((((sum * 0.5) * params.brightness_scale) / pi) * 0.25 * phase_factor) / (1 + params.lambert_weight * 0.25);
}
