#pragma once

#include <string>

#include "common/mesh.hpp"

// Builds the base shape from a refined sphere: its records moved to x + 1
// (body 1) and again to x - 1 (body 2), its facets twice, the second copy's
// indices shifted past body 1. The twin keeps the facet count of ONE sphere
// and the vertex count of both. The sphere's arrays are released. Returns 1,
// or 0 when the twin arrays could not be allocated (then `twin` and
// `sphere` are unchanged).
int make_twin_shape(mesh& sphere, mesh& twin);

// "basic_shape_<n>.obj": one "v %lf %lf %lf" line per vertex record, then one
// "f %i %i %i" line per facet of both bodies, through a temporary file renamed
// into place. False when it could not be written whole; then `why` says
// which file and the system's reason, and an earlier file of that name is
// kept.
bool write_obj(const mesh& base, int n, std::string& why);

// The name of the base shape file for n subdivisions.
std::string obj_file_name(int n);
