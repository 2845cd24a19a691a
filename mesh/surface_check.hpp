#pragma once

#include <cstdint>
#include <string>

#include "mesh/weld.hpp"

// What check_surface found of a welded triangle mesh.
struct surface_report {
    bool closed = false;     // every edge borders two facets
    bool manifold = false;   // every edge borders at most two facets, the facets round each vertex one fan
    bool oriented = false;   // the two facets of every edge run along it in opposite directions
    int64_t euler = 0;       // V - E + F, 2 for a surface of a sphere's topology
    int32_t components = 0;  // pieces joined through shared vertices
    double volume = 0.0;     // signed enclosed volume, positive when the facets face outward
};

// The topology and signed volume of `m` (1-based facets, as written).
surface_report check_surface(const welded_mesh& m);

// Whether `r` is one closed, 2-manifold, outward-oriented surface of a
// sphere's topology; false with the first check that fails in `why`.
bool one_outward_surface(const surface_report& r, std::string& why);

// The volume enclosed by the facets, by the divergence theorem (signed:
// positive when they face outward).
double enclosed_volume(const welded_mesh& m);
