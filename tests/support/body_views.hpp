#pragma once

#include <vector>

#include "common/mat3.hpp"
#include "photometry/facet_view.hpp"

constexpr double pi = 3.141592653589793;

// The identity matrix: the body frame as the ecliptic.
inline const mat3 identity{{1, 0, 0, 0, 1, 0, 0, 0, 1}};

// One sample's view: the earth and sun vectors and the model's matrices
// made from them.
struct view {
    vec3 earth, sun;
    mat3 body_rot, earth_frame, sun_frame;
};

// The view of a pole (lambda, beta) at rotation angle phi, through the
// model's own comp_view_matrices.
view view_of(vec3 earth, vec3 sun, double lambda = 0, double beta = pi / 2, double phi = 0);

// A body ready to be viewed: vertices, facets (1-based), centres, normals.
struct viewable_body {
    std::vector<vec3> vertices;
    std::vector<facet> facets;
    std::vector<vec3> centres;
    std::vector<facet_normal> normals;
    int32_t lobe_facets = 0;  // facets of the first lobe (all of a sphere's)
};

// A unit sphere at the origin refined n times.
viewable_body unit_sphere(int n);

// The base shape of n subdivisions: unit spheres at x = -1 and x = +1,
// touching at the origin (the first lobe's facets are those at x = +1).
viewable_body touching_twins(int n);

// The body seen with the earth and the sun in the given body-frame
// directions, through the model's own matrices (ecliptic vectors chosen so
// that the body frame sees these directions).
std::vector<viewed_facet> view_body(const viewable_body& body, vec3 earth_in_body, vec3 sun_in_body);

// The projected area of the facets with the given light.
double seen_area(const std::vector<viewed_facet>& facets, facet_light light);
