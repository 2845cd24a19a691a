#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/mesh.hpp"

// The subdivision counts a base shape may have.
constexpr int min_subdivisions = 1;
constexpr int max_subdivisions = 10;

// Whether a base shape may have n subdivisions; false with the refusal in `why`.
bool check_subdivisions(int n, std::string& why);

// Builds the refined sphere of n subdivisions and its twin, in memory only;
// null when memory ran out.
std::shared_ptr<const mesh> build_base_mesh(int n);

// Vertex records of the base shape of n subdivisions (both spheres), known
// before the shape is built.
int64_t base_vertex_count(int n);
