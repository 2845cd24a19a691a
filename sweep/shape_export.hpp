#pragma once

#include <cstdint>
#include <string>

#include "common/mesh.hpp"
#include "sweep/sweep_records.hpp"

// The seven parameters of shape `shape` (1-based) of the grid of `step`, as
// the sweep numbers them; false when the grid holds fewer shapes.
bool shape_parameters(double step, int32_t shape, double params[param::count]);

// Writes the shape of `params` built on `base` exactly as the sweep
// evaluates it (both lobes deformed and moved apart by x_shift) as a
// Wavefront OBJ with welded vertices and outward facets, through a
// temporary file renamed into place. False with `why` when it cannot.
bool write_shape_obj(const mesh& base, const double params[param::count], const std::string& path, std::string& why);
