#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/status_ops.hpp"
#include "common/vec3.hpp"

// Unit outward normal of a facet and len, twice its area.
struct facet_normal {
    double nx;
    double ny;
    double nz;
    double len;
};

// Fills `normals` (released and replaced) with one record per facet.
// Vertex indices are 1-based. Returns 1, or 0 when no array was obtained
// (after the "Virtual memory not allocated" box). A zero-area facet gets
// normal (0, 0, 0) and len 0.
int comp_normal(int32_t facet_count, const vec3* vertices, const facet* facets, std::vector<facet_normal>& normals,
                status_ops* ui = nullptr);

// Fills `centres` (released and replaced) with the mean of each facet's
// corners. Returns 1, or 0 when no array was obtained.
int comp_facet_center(int32_t facet_count, const vec3* vertices, const facet* facets, std::vector<vec3>& centres);
