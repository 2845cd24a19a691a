#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/mat3.hpp"
#include "common/stop_request.hpp"
#include "common/vec3.hpp"
#include "photometry/facet_geometry.hpp"

// Cells along one axis of a grid: x maps to trunc((x - origin) * scale),
// clamped to [0, cells - 1]. Every step of that map is monotonic, so a point
// strictly inside a box falls in a cell between the box's end cells.
struct grid_axis {
    double origin = 0.0;
    double scale = 0.0;
    int32_t cells = 1;

    int32_t cell(double x) const
    {
        const double t = (x - origin) * scale;
        if (!(t > 0.0)) return 0;
        if (t >= cells) return cells - 1;
        return static_cast<int32_t>(t);
    }
};

// A centre as a grid cell stores it.
struct grid_point {
    double x, y, z;
    int32_t index;  // facet index
};

// A uniform grid over the projected centres of the facets that may still
// be covered: each cell lists the facing-set positions of its centres.
struct point_grid {
    grid_axis x, y;
    double x_lo = 0.0, x_hi = 0.0, y_lo = 0.0, y_hi = 0.0;  // box around the centres
    std::vector<int32_t> members;                           // positions bucketed
    std::vector<int32_t> cell_start;                        // per cell, offsets into items
    std::vector<grid_point> items;                          // the centres, grouped by cell
    std::vector<int32_t> fill;                              // next free slot per cell while bucketing
};

// The facets facing one pass's direction, in facet order: index and
// projected centre (z is the depth); the first `count` entries are used.
struct facing_set {
    int32_t count = 0;
    std::vector<int32_t> index;
    std::vector<double> cx, cy, cz;
};

// A box around 2-D points in eight directions: x, y, x + y and x - y each
// between lo and hi. Much tighter than an axis box around a rounded outline.
struct octagon {
    double lo[4];
    double hi[4];
};

// Working storage of the fast visibility step, reused from sample to
// sample and shape to shape so that a sample allocates nothing.
struct fast_visibility_scratch {
    std::vector<uint8_t> bytes;
    bool stopped = false;  // the last call was abandoned at a stop request
    facing_set facing;
    point_grid points;
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

// The same bytes as comp_visibility, found faster. With lobe_split > 0 the
// body is taken as two convex lobes, facets [0, lobe_split) and
// [lobe_split, facet_count); with lobe_split 0 every facet is searched.
// - a facet facing the direction is never covered by a facet of its own
//   convex lobe that also faces it (a line along the direction crosses the
//   lobe's front surface once), so only the other lobe is searched;
// - the centres still to test go into a uniform grid; each facet of the
//   other lobe whose centre lies within its lobe's reach of them gets its
//   projected triangle and tests only the centres in the cells its
//   bounding box touches;
// - no sort: the covering test needs only the depth order's comparisons.
// Leaves the bytes in scratch.bytes; false when `stop` was requested during
// the work (scratch.stopped); then the bytes must not be read. `stop` is
// polled often enough that the finest mesh stops within a fraction of a
// second.
bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const visibility_view& view,
                     const stop_request& stop = {});
