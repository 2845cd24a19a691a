#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/vec3.hpp"

// A mesh whose vertex positions are distinct: each position once, facets
// (1-based, orientation kept) referring to them.
struct welded_mesh {
    std::vector<vec3> vertices;
    std::vector<facet> facets;
};

// Welds the records of each part into distinct positions: records of one
// part whose coordinates differ by at most `tolerance` (far below any
// facet's size, far above rounding) become one vertex, at the position of
// its first record. The parts, records [0, split) and [split, count), are
// welded apart, so two lobes that touch stay two closed surfaces. Vertices
// come in order of their first record.
welded_mesh weld_vertices(const vec3* vertices, int32_t count, int32_t split, const facet* facets, int32_t facet_count,
                          double tolerance = 1e-9);
