#pragma once

#include <cstdint>
#include <string>

#include "mesh/weld.hpp"

// Whether this build computes the union of the lobes (CMake's
// MORVANE_UNION); without it unite_lobes always refuses.
bool lobe_union_built();

// The surface of the union of two closed, outward-oriented lobes: facets
// [0, first_facets) of `lobes` are the first lobe, the rest the second
// (a vertex may be shared by both). Computed exactly, then rounded to
// doubles into `out` (facets 1-based, counter-clockwise seen from
// outside). False with `why` when a lobe is not a closed 2-manifold or the
// union cannot be one surface; check the result with check_surface.
bool unite_lobes(const welded_mesh& lobes, int32_t first_facets, welded_mesh& out, std::string& why);
