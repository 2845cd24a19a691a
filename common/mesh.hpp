#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/vec3.hpp"

// A triangle soup with local sharing: vertex records are never merged.
// For a single sphere facet_count equals facets.size(); for the twin-sphere
// base shape facet_count is the count of ONE sphere while facets holds both.
struct mesh {
    std::vector<vec3> vertices;
    std::vector<facet> facets;
    int32_t vertex_count = 0;
    int32_t facet_count = 0;
};
