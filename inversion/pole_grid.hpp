#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Poles at the centres of HEALPix pixels: equal areas over the whole sky,
// nested numbering, so that the four pixels of resolution 2 nside inside
// pixel p are 4p to 4p + 3.

// A pole and the pixel it is the centre of.
struct pole {
    double lambda_deg = 0.0;  // ecliptic longitude, [0, 360)
    double beta_deg = 0.0;    // ecliptic latitude, [-90, 90]
    int32_t nside = 1;
    int64_t pixel = 0;
};

// The largest resolution the search takes: 49,152 poles, 0.9 degrees apart.
constexpr int32_t max_pole_nside = 64;

// Whether `nside` is a resolution the search takes: a power of two from 1
// to max_pole_nside; false with `why` otherwise.
bool check_pole_nside(int64_t nside, std::string& why);

// The 12 nside^2 poles of the whole sky, in pixel order.
std::vector<pole> pole_grid(int32_t nside);

// The four poles of resolution 2 nside inside the pixel of `p`, in pixel order.
std::vector<pole> pole_children(const pole& p);

// The typical distance between neighbouring poles of resolution nside:
// the side of a pixel, sqrt(4 pi / (12 nside^2)) radians, about 58.6 / nside
// degrees.
double pole_spacing_deg(int32_t nside);

// The outline of the pixel of resolution `nside` that holds the pole
// (lambda, beta): 4 * steps points along its edges, as (lambda, beta)
// degrees, lambda in [0, 360).
std::vector<std::pair<double, double>> pixel_outline(int32_t nside, double lambda_deg, double beta_deg, int steps);

// The angle between two poles, in degrees.
double pole_distance_deg(double lambda1_deg, double beta1_deg, double lambda2_deg, double beta2_deg);
