#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/mat3.hpp"
#include "common/stop_request.hpp"
#include "common/vec3.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/visibility_kernels.hpp"

// Working storage of the fast visibility step, reused from sample to
// sample and shape to shape so that a sample allocates nothing.
struct fast_visibility_scratch {
    std::vector<uint8_t> bytes;
    bool stopped = false;  // the last call was abandoned at a stop request
    body_columns columns;  // the body laid out, when the caller did not
    facing_set facing;
    flat_vertices flat;
    point_grid points;
    triangle_columns triangles;
    std::vector<int32_t> picks;
};

// The largest distance from the centre of a facet of [begin, end) to one of
// its corners, with a margin far beyond rounding: a projected triangle lies
// within this reach of its projected centre.
double facet_reach(const vec3* vertices, const facet* facets, const vec3* centres, int32_t begin, int32_t end);

// A body as the fast visibility step sees it: its vertices, the facets of
// both lobes with their centres and normals, where the second lobe's
// facets begin (0: the body is not taken as two convex lobes) and each
// lobe's reach (facet_reach). The arrays are not owned.
struct visibility_body {
    const vec3* vertices = nullptr;
    int32_t vertex_count = 0;
    const facet* facets = nullptr;
    const vec3* centres = nullptr;
    const facet_normal* normals = nullptr;
    int32_t facet_count = 0;
    int32_t lobe_split = 0;
    double reach[2] = {0.0, 0.0};
};

// One sample's directions: the earth and sun frames and the unit
// body-frame directions toward them (body_direction).
struct visibility_view {
    mat3 earth_frame;
    mat3 sun_frame;
    vec3 earth_dir;
    vec3 sun_dir;
};

// The body as columns for the batch loops (once per shape), with the
// cosine below which a facing facet counts as edge-on: where rounding could
// make a projected centre fall inside another facet of its own lobe, given
// the lobe's largest coordinate and its facets' thinness.
void lay_out_body(const visibility_body& body, body_columns& out);

// The same bytes as comp_visibility, found faster. With lobe_split > 0 the
// body is taken as two convex lobes, facets [0, lobe_split) and
// [lobe_split, facet_count); with lobe_split 0 every facet is searched.
// - a facet facing the direction is never covered by a facet of its own
//   convex lobe that also faces it (a line along the direction crosses the
//   lobe's front surface once), so only the other lobe is searched, except
//   for the rare edge-on facets (body_columns::edge_cosine), where rounding
//   decides: those are checked against their own lobe as well;
// - the centres still to test go into a uniform grid; each facet of the
//   other lobe whose centre lies within its lobe's reach of them gets its
//   projected triangle and tests only the centres in the cells its
//   bounding box touches;
// - no sort: the covering test needs only the depth order's comparisons.
// Leaves the bytes in scratch.bytes; false when `stop` was requested during
// the work (scratch.stopped); then the bytes must not be read. `stop` is
// polled often enough that the finest mesh stops within a fraction of a
// second.
// The loops run at simd_in_use()'s level; every level gives the same bytes.
bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const visibility_view& view,
                     const stop_request& stop = {});

// The same, with the body already laid out by lay_out_body.
bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const body_columns& columns,
                     const visibility_view& view, const stop_request& stop = {});
