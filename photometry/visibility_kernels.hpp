#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/simd.hpp"
#include "common/stop_request.hpp"

// The batch loops of the fast visibility step, over arrays of plain
// numbers. Each has a scalar and an AVX2 form; both make the same IEEE
// operations on every element in the same order, so they give the same
// bytes, and the step picks one per call (kernels_for).
//
// Arrays are padded: every array a loop reads four at a time holds at
// least 4 entries past its count, so that a last partial group can be
// loaded whole and its extra lanes masked.
constexpr std::size_t kernel_padding = 4;

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

// A box around 2-D points in eight directions: x, y, x + y and x - y each
// between lo and hi. Much tighter than an axis box around a rounded outline.
struct octagon {
    double lo[4];
    double hi[4];
};

// A body's facets and vertices as columns, laid out once per shape.
struct body_columns {
    int32_t facet_count = 0;
    int32_t vertex_count = 0;
    std::vector<double> nx, ny, nz;  // unit normals
    std::vector<double> cx, cy, cz;  // centres
    std::vector<double> vx, vy, vz;  // vertices
    // A facing facet whose cosine toward a pass's direction is below this
    // is "edge-on": rounding could let its own lobe cover it or be covered
    // by it, so the step checks it against its own lobe as well.
    double edge_cosine = 0.0;
};

// The facets facing one pass's direction, in facet order: index and
// projected centre (z is the depth); the first `count` entries are used.
struct facing_set {
    int32_t count = 0;
    std::vector<int32_t> index;
    std::vector<double> x, y, z;
    // Positions (into the arrays above) of the facing facets that are edge-on.
    std::vector<int32_t> edge_on;
};

// The vertices projected by a pass's frame: rows 0 and 1.
struct flat_vertices {
    std::vector<double> x, y;
};

// The centres still to test, bucketed into a uniform grid: the centres of
// a cell are consecutive in x, y, z and index.
struct point_grid {
    grid_axis x_axis, y_axis;
    std::vector<int32_t> cell_start;  // per cell, offsets into the columns; one more at the end
    std::vector<int32_t> fill;        // next free slot per cell while bucketing
    std::vector<int32_t> members;     // facing-set positions of the centres, before bucketing
    std::vector<double> x, y, z;
    std::vector<int32_t> index;
};

// Occluding facets, projected: corners, edges e1 = q2 - q1, e2 = q3 - q2,
// e3 = q1 - q3, bounding box, the centre's depth and facet index, and the
// range of grid cells their box touches.
struct triangle_columns {
    int32_t count = 0;
    std::vector<double> q1x, q1y, q2x, q2y, q3x, q3y;
    std::vector<double> e1x, e1y, e2x, e2y, e3x, e3y;
    std::vector<double> x_min, x_max, y_min, y_max, z;
    std::vector<int32_t> index;
    std::vector<int32_t> x0, x1, y0, y1;
};

// One pass's view: the frame (row by row) and the unit body-frame direction.
struct pass_view {
    const double* frame;  // 9 entries
    double dx, dy, dz;
};

struct visibility_kernels {
    // Every facet: its byte after the pass (pass_byte when it faces the
    // direction, else 0), and each facing facet's index and projected
    // centre appended to `f` in facet order; edge-on ones listed too.
    void (*face)(const body_columns& body, const pass_view& view, uint8_t* bytes, facing_set& f);
    // The octagon around centres [begin, end) of `f` and their greatest depth.
    void (*outline)(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top);
    // The positions of [begin, end) whose centre may still be covered (byte
    // not 0, depth not above `top`, inside `reachable`) into `out`; their
    // octagon and least depth into `spread` and `bottom`. Returns how many.
    int32_t (*select_points)(const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes,
                             const octagon& reachable, double top, int32_t* out, octagon& spread, double& bottom);
    // The positions of [begin, end) whose centre lies inside `near` and not
    // below `bottom`, into `out`. Returns how many.
    int32_t (*select_occluders)(const facing_set& f, int32_t begin, int32_t end, const octagon& near, double bottom,
                                int32_t* out);
    // Every vertex projected by rows 0 and 1 of the frame.
    void (*project_vertices)(const body_columns& body, const double* frame, flat_vertices& out);
    // The triangles of the facing positions `picks` (count n), with the
    // cells of `grid` their boxes touch.
    void (*set_up_triangles)(const facing_set& f, const int32_t* picks, int32_t n, const facet* facets,
                             const flat_vertices& flat, const point_grid& grid, triangle_columns& out);
    // Clears the byte of each grid centre strictly inside a triangle that
    // comes after it in the depth order (lower depth first, equal depths by
    // facet index). False when `stop` was requested on the way.
    bool (*cover)(const triangle_columns& t, const point_grid& grid, uint8_t* bytes, const stop_request& stop);
};

// The loops of a level: the AVX2 ones only where built for this processor
// (best_simd_level), the scalar ones otherwise.
const visibility_kernels& kernels_for(simd_level level);

// The AVX2 loops; null where the build has none.
const visibility_kernels* avx2_kernels();

// The scalar form of each loop, which the AVX2 forms follow operation for
// operation, for a loop's tail: each goes on from `begin`, growing what the
// vector lanes found (the octagons, depths and counts given).
namespace scalar_kernels {
void face(const body_columns& body, const pass_view& view, uint8_t* bytes, facing_set& f, int32_t begin);
void outline(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top);
int32_t select_points(const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes, const octagon& reachable,
                      double top, int32_t* out, int32_t n, octagon& spread, double& bottom);
int32_t select_occluders(const facing_set& f, int32_t begin, int32_t end, const octagon& near, double bottom,
                         int32_t* out, int32_t n);
void set_up_triangles(const facing_set& f, const int32_t* picks, int32_t begin, int32_t n, const facet* facets,
                      const flat_vertices& flat, const point_grid& grid, triangle_columns& out);
}  // namespace scalar_kernels
