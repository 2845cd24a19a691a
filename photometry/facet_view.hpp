#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/mat3.hpp"
#include "common/vec3.hpp"
#include "photometry/facet_geometry.hpp"

// How the photometric model treats a facet that faces the viewer.
enum class facet_light : uint8_t {
    lit,       // seen and lit: it adds to the brightness
    night,     // turned away from the sun
    shadowed,  // faces the sun, but another facet covers it from the sun
    hidden     // another facet covers it from the viewer
};

// One facet as the viewer sees it: its corners projected onto the view
// plane (x to the right, y up), its height toward the viewer, how the model
// treats it and the brightness per unit seen area of a lit facet
// ((1 / (mu + mu0) + c) mu0, the model's own terms).
struct viewed_facet {
    double x[3];
    double y[3];
    double depth;
    double radiance;
    facet_light light;
    int32_t index;
};

// The facets of a body facing the earth at one sample, farthest first, so
// that drawing them in order paints the nearer ones over the farther. The
// arrays are a prepared body's (1-based facet indices); the matrices and the
// ecliptic vectors are the sample's (comp_view_matrices); `lobe_split` is as
// fast_visibility takes it. The lit, shadowed and hidden facets are exactly
// those of the model's visibility step, found the sweep's fast way.
std::vector<viewed_facet> view_from_earth(const vec3* vertices, const facet* facets, const vec3* centres,
                                          const facet_normal* normals, int32_t facet_count, int32_t lobe_split,
                                          const mat3& body_rot, const mat3& earth_frame, const mat3& sun_frame,
                                          vec3 earth, vec3 sun);

// The facets of a body seen from far along body axis `axis` (0 x, 1 y,
// 2 z, from the positive side), lit from the viewer (radiance = cosine),
// farthest first. No shadowing: a picture of the outline and relief.
std::vector<viewed_facet> view_along_axis(const vec3* vertices, const facet* facets, const facet_normal* normals,
                                          int32_t facet_count, int axis);
