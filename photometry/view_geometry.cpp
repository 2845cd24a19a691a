#include "photometry/view_geometry.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr double half_pi = 1.5707963267948966;

// The largest component magnitude of a finite vector; -1 when a component
// is not finite.
double max_magnitude(const vec3& v)
{
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return -1.0;
    return std::max(std::max(std::fabs(v.x), std::fabs(v.y)), std::fabs(v.z));
}

// Vectors whose squared components could underflow or overflow are brought
// near unit size by a power of two, which keeps their direction exactly.
// Every other vector is returned untouched, so the usual formulas see the
// caller's bits.
vec3 well_scaled(const vec3& v, double magnitude)
{
    if (magnitude >= 0x1p-500 && magnitude <= 0x1p500) return v;
    int e = 0;
    std::frexp(magnitude, &e);
    return {std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e)};
}

// D = E(l + h, h - b, 0): east, north and toward rows of a direction.
mat3 direction_matrix(vec3 v)
{
    const double m = max_magnitude(v);
    v = m > 0.0 ? well_scaled(v, m) : vec3{0.0, 0.0, 0.0};
    const double l = std::atan2(v.y, v.x);
    const double b = std::atan2(v.z, std::sqrt(v.x * v.x + v.y * v.y));
    return euler_matrix(l + half_pi, half_pi - b, 0.0);
}

// D . R^T, summed left to right.
mat3 frame_matrix(const mat3& D, const mat3& R)
{
    mat3 F;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            F.m[3 * r + c] =
                D.m[3 * r] * R.m[3 * c] + D.m[3 * r + 1] * R.m[3 * c + 1] + D.m[3 * r + 2] * R.m[3 * c + 2];
        }
    }
    return F;
}

}  // namespace

mat3 euler_matrix(double phi, double theta, double psi)
{
    const double cphi = std::cos(phi), sphi = std::sin(phi);
    const double ctheta = std::cos(theta), stheta = std::sin(theta);
    const double cpsi = std::cos(psi), spsi = std::sin(psi);
    mat3 E;
    E.m[0] = cphi * cpsi - sphi * ctheta * spsi;
    E.m[1] = cphi * ctheta * spsi + sphi * cpsi;
    E.m[2] = spsi * stheta;
    E.m[3] = -cphi * spsi - sphi * ctheta * cpsi;
    E.m[4] = cphi * ctheta * cpsi - sphi * spsi;
    E.m[5] = cpsi * stheta;
    E.m[6] = sphi * stheta;
    E.m[7] = -cphi * stheta;
    E.m[8] = ctheta;
    return E;
}

void comp_view_matrices(mat3& body_rot, mat3& earth_frame, mat3& sun_frame, vec3 earth, vec3 sun, double lambda,
                        double beta, double phi)
{
    const mat3 D_earth = direction_matrix(earth);
    const mat3 D_sun = direction_matrix(sun);
    body_rot = euler_matrix(lambda + half_pi, half_pi - beta, phi - half_pi);
    earth_frame = frame_matrix(D_earth, body_rot);
    sun_frame = frame_matrix(D_sun, body_rot);
}

vec3 body_direction(const mat3& body_rot, vec3 v)
{
    const vec3 w = apply(body_rot, v);
    const double m = max_magnitude(w);
    if (!(m > 0.0)) return {0.0, 0.0, 0.0};
    const vec3 u = well_scaled(w, m);
    const double len = std::sqrt(u.x * u.x + u.y * u.y + u.z * u.z);
    return {u.x / len, u.y / len, u.z / len};
}

double phase_angle_deg(const vec3& sun, const vec3& earth)
{
    const vec3& s = sun;
    const vec3& e = earth;
    const double c = (s.x * e.x + s.y * e.y + s.z * e.z) /
                     (std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z) * std::sqrt(e.x * e.x + e.y * e.y + e.z * e.z));
    return std::acos(std::clamp(c, -1.0, 1.0)) * 57.29577951308232;
}

double sub_earth_latitude_deg(const vec3& earth, double lambda_deg, double beta_deg)
{
    constexpr double radians = 0.017453292519943295;
    // The body's z axis is the spin axis at any rotation phase.
    const mat3 body_rot = euler_matrix(lambda_deg * radians + half_pi, half_pi - beta_deg * radians, -half_pi);
    const vec3 d = body_direction(body_rot, earth);
    return std::asin(std::clamp(d.z, -1.0, 1.0)) / radians;
}
