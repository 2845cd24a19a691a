#pragma once

#include <cstdint>

#include "common/mat3.hpp"
#include "common/vec3.hpp"
#include "photometry/facet_geometry.hpp"

// The fixed constants of the photometric model.
struct photo_params {
    double brightness_scale = 1.0;
    double lambert_weight = 0.1;   // c
    double phase_amplitude = 0.0;  // A
    double phase_width = 1.0;      // D, degrees
    double phase_slope = 0.0;      // k, per degree
};

// Disk-integrated brightness of one sample: Lommel-Seeliger plus Lambert
// summed over the facets whose byte is nonzero, times the phase function.
// Writes the cosine of the phase angle and the projected seen area. The
// bytes must be this sample's (see comp_visibility); null bytes count no
// facet. A zero or non-finite earth or sun vector gives brightness 0.
double comp_brightness(const facet_normal* normals, const mat3& body_rot, int32_t n, double& cos_phase,
                       double& seen_area, const uint8_t* vis_bytes, vec3 earth, vec3 sun, photo_params params);
