#pragma once

#include <cstdint>
#include <memory>

#include "common/mesh.hpp"

// Builds the refined sphere of n subdivisions and its twin, in memory only;
// null when memory ran out.
std::shared_ptr<const mesh> build_base_mesh(int n);

// Vertex records of the base shape of n subdivisions (both spheres), known
// before the shape is built.
int64_t base_vertex_count(int n);
