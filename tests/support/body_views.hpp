#pragma once

#include <vector>

#include "photometry/facet_view.hpp"

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
