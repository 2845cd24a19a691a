#include "photometry/fast_visibility.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "photometry/visibility.hpp"

namespace {

// An axis spanning [lo, hi] with `cells` cells (one when the span is empty).
grid_axis make_axis(double lo, double hi, int32_t cells)
{
    grid_axis axis;
    axis.origin = lo;
    const double span = hi - lo;
    if (span > 0.0 && std::isfinite(span)) {
        axis.cells = cells;
        axis.scale = cells / span;
    }
    return axis;
}

// One pass toward `d`: updates the bytes and lists the facets facing it with
// their projected centres.
void project_centres(fast_visibility_scratch& s, const mat3& frame, const vec3* centres, const facet_normal* normals,
                     int32_t facet_count, vec3 d)
{
    facing_set& f = s.facing;
    uint8_t* bytes = s.bytes.data();
    const bool has_direction =
        std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.z) && (d.x != 0.0 || d.y != 0.0 || d.z != 0.0);
    if (!has_direction) {
        std::fill(bytes, bytes + facet_count, uint8_t{0});
        f.count = 0;
        return;
    }
    // Locals, so that the stores below cannot make the compiler reload them.
    const double dx = d.x, dy = d.y, dz = d.z;
    const double m0 = frame.m[0], m1 = frame.m[1], m2 = frame.m[2], m3 = frame.m[3], m4 = frame.m[4], m5 = frame.m[5],
                 m6 = frame.m[6], m7 = frame.m[7], m8 = frame.m[8];
    int32_t* index = f.index.data();
    double* cx = f.cx.data();
    double* cy = f.cy.data();
    double* cz = f.cz.data();
    int32_t n = 0;
    for (int32_t i = 0; i < facet_count; ++i) {
        const facet_normal& nrm = normals[i];
        const double c = nrm.nx * dx + nrm.ny * dy + nrm.nz * dz;
        if (!(c > 0)) {
            bytes[i] = 0;
            continue;
        }
        bytes[i] = pass_byte(bytes[i], c);
        const vec3 p = centres[i];
        index[n] = i;
        cx[n] = m0 * p.x + m1 * p.y + m2 * p.z;
        cy[n] = m3 * p.x + m4 * p.y + m5 * p.z;
        cz[n] = m6 * p.x + m7 * p.y + m8 * p.z;
        ++n;
    }
    f.count = n;
}

// An octagon holding nothing; `widen` then grows it around each point.
octagon empty_octagon()
{
    octagon o;
    for (int k = 0; k < 4; ++k) {
        o.lo[k] = INFINITY;
        o.hi[k] = -INFINITY;
    }
    return o;
}

// The four coordinates of a point that an octagon bounds.
inline void octagon_coordinates(double x, double y, double (&u)[4])
{
    u[0] = x;
    u[1] = y;
    u[2] = x + y;
    u[3] = x - y;
}

void widen(octagon& o, double x, double y)
{
    double u[4];
    octagon_coordinates(x, y, u);
    for (int k = 0; k < 4; ++k) {
        o.lo[k] = std::min(o.lo[k], u[k]);
        o.hi[k] = std::max(o.hi[k], u[k]);
    }
}

// The octagon grown by `reach` in every direction (2 reach along the
// diagonals, whose coordinates are not normalised; that is more than
// enough, and the slack also covers the rounding of x + y and x - y).
octagon grown(const octagon& o, double reach)
{
    octagon g;
    const double by[4] = {reach, reach, 2.0 * reach, 2.0 * reach};
    for (int k = 0; k < 4; ++k) {
        g.lo[k] = o.lo[k] - by[k];
        g.hi[k] = o.hi[k] + by[k];
    }
    return g;
}

inline bool contains(const octagon& o, double x, double y)
{
    double u[4];
    octagon_coordinates(x, y, u);
    for (int k = 0; k < 4; ++k)
        if (u[k] < o.lo[k] || u[k] > o.hi[k]) return false;
    return true;
}

// Projects the corners of a facet as the frame's rows 0 and 1 give them:
// its triangle, edges and bounding box, as the covering test reads them.
struct flat_triangle {
    double q1x, q1y, q2x, q2y, q3x, q3y;
    double e1x, e1y, e2x, e2y, e3x, e3y;
    double x_min, x_max, y_min, y_max;
};

flat_triangle project_triangle(const mat3& frame, const visibility_body& body, const facet& t)
{
    assert(t.a >= 1 && t.a <= body.vertex_count && t.b >= 1 && t.b <= body.vertex_count && t.c >= 1 &&
           t.c <= body.vertex_count);
    const vec3* vertices = body.vertices;
    const double* m = frame.m;
    const vec3& a = vertices[t.a - 1];
    const vec3& b = vertices[t.b - 1];
    const vec3& c = vertices[t.c - 1];
    flat_triangle tri;
    tri.q1x = m[0] * a.x + m[1] * a.y + m[2] * a.z;
    tri.q1y = m[3] * a.x + m[4] * a.y + m[5] * a.z;
    tri.q2x = m[0] * b.x + m[1] * b.y + m[2] * b.z;
    tri.q2y = m[3] * b.x + m[4] * b.y + m[5] * b.z;
    tri.q3x = m[0] * c.x + m[1] * c.y + m[2] * c.z;
    tri.q3y = m[3] * c.x + m[4] * c.y + m[5] * c.z;
    tri.x_min = std::min(std::min(tri.q1x, tri.q2x), tri.q3x);
    tri.x_max = std::max(std::max(tri.q1x, tri.q2x), tri.q3x);
    tri.y_min = std::min(std::min(tri.q1y, tri.q2y), tri.q3y);
    tri.y_max = std::max(std::max(tri.q1y, tri.q2y), tri.q3y);
    tri.e1x = tri.q2x - tri.q1x;
    tri.e1y = tri.q2y - tri.q1y;
    tri.e2x = tri.q3x - tri.q2x;
    tri.e2y = tri.q3y - tri.q2y;
    tri.e3x = tri.q1x - tri.q3x;
    tri.e3y = tri.q1y - tri.q3y;
    return tri;
}

// Buckets the centres of the facing records [begin, end) that may still be
// covered (byte not 0, inside `reachable`, not above `top`, the highest
// occluder) into a grid, and bounds them in `spread` and from below by
// `bottom`. False when there is none.
bool build_points(point_grid& g, const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes,
                  const octagon& reachable, double top, octagon& spread, double& bottom)
{
    g.members.clear();
    spread = empty_octagon();
    bottom = INFINITY;
    for (int32_t i = begin; i < end; ++i) {
        if (bytes[f.index[static_cast<std::size_t>(i)]] == 0) continue;
        // Above every candidate occluder nothing comes later in depth.
        const double z = f.cz[static_cast<std::size_t>(i)];
        if (z > top) continue;
        const double x = f.cx[static_cast<std::size_t>(i)], y = f.cy[static_cast<std::size_t>(i)];
        if (!contains(reachable, x, y)) continue;
        g.members.push_back(i);
        widen(spread, x, y);
        bottom = std::min(bottom, z);
    }
    if (g.members.empty()) return false;
    g.x_lo = spread.lo[0];
    g.x_hi = spread.hi[0];
    g.y_lo = spread.lo[1];
    g.y_hi = spread.hi[1];
    // About one centre per cell, the cells as square as the box allows.
    const double w = g.x_hi - g.x_lo, h = g.y_hi - g.y_lo;
    const double count = std::max(1.0, static_cast<double>(g.members.size()) * 0.5);
    double nx = 1.0, ny = 1.0;
    if (w > 0.0 && h > 0.0) {
        nx = std::clamp(std::sqrt(count * w / h), 1.0, count);
        ny = std::clamp(count / nx, 1.0, count);
    } else if (w > 0.0) {
        nx = count;
    } else if (h > 0.0) {
        ny = count;
    }
    g.x = make_axis(g.x_lo, g.x_hi, static_cast<int32_t>(nx));
    g.y = make_axis(g.y_lo, g.y_hi, static_cast<int32_t>(ny));
    const int32_t cells = g.x.cells * g.y.cells;
    g.cell_start.assign(static_cast<std::size_t>(cells) + 1, 0);
    for (int32_t i : g.members)
        ++g.cell_start[static_cast<std::size_t>(g.y.cell(f.cy[i]) * g.x.cells + g.x.cell(f.cx[i])) + 1];
    for (int32_t c = 0; c < cells; ++c)
        g.cell_start[static_cast<std::size_t>(c) + 1] += g.cell_start[static_cast<std::size_t>(c)];
    g.items.resize(g.members.size());
    g.fill.assign(g.cell_start.begin(), g.cell_start.end() - 1);
    for (int32_t i : g.members)
        g.items[static_cast<std::size_t>(
            g.fill[static_cast<std::size_t>(g.y.cell(f.cy[i]) * g.x.cells + g.x.cell(f.cx[i]))]++)] = {
            f.cx[static_cast<std::size_t>(i)], f.cy[static_cast<std::size_t>(i)], f.cz[static_cast<std::size_t>(i)],
            f.index[static_cast<std::size_t>(i)]};
    return true;
}

// Lets every facing record of [begin, end) whose centre lies in `near`
// (the candidates' octagon grown by this lobe's reach) and not below
// `bottom` (the lowest candidate) clear the byte of
// each candidate centre strictly inside its triangle that comes before it
// in the depth order (lower centre z first, equal heights by facet index).
bool cover_points(const point_grid& g, const facing_set& f, int32_t begin, int32_t end, uint8_t* bytes,
                  const octagon& near, double bottom, const mat3& frame, const visibility_body& body,
                  const stop_request& stop)
{
    for (int32_t o = begin; o < end; ++o) {
        // A look at the stop request every so many occluders.
        if ((o & 0xffff) == 0 && stop.requested()) return false;
        // Below every candidate centre an occluder comes before them all.
        if (f.cz[static_cast<std::size_t>(o)] < bottom) continue;
        if (!contains(near, f.cx[static_cast<std::size_t>(o)], f.cy[static_cast<std::size_t>(o)])) continue;
        const int32_t o_index = f.index[o];
        const double oz = f.cz[o];
        assert(o_index >= 0 && o_index < body.facet_count);
        const flat_triangle t = project_triangle(frame, body, body.facets[o_index]);
        const int32_t x0 = g.x.cell(t.x_min), x1 = g.x.cell(t.x_max);
        const int32_t y0 = g.y.cell(t.y_min), y1 = g.y.cell(t.y_max);
        // The cells of one row are consecutive, and so are their centres.
        for (int32_t cy = y0; cy <= y1; ++cy) {
            const std::size_t row = static_cast<std::size_t>(cy * g.x.cells);
            const grid_point* q = g.items.data() + g.cell_start[row + static_cast<std::size_t>(x0)];
            const grid_point* q_end = g.items.data() + g.cell_start[row + static_cast<std::size_t>(x1) + 1];
            for (; q != q_end; ++q) {
                const double px = q->x, py = q->y, pz = q->z;
                const int32_t k = q->index;
                // Evaluated whole, without branches: a hit is rare.
                const bool inside_box = (py > t.y_min) & (py < t.y_max) & (px > t.x_min) & (px < t.x_max);
                const bool later = (pz < oz) | (!(oz < pz) & (k < o_index));
                if (inside_box & later && bytes[k] != 0 &&
                    inside_by_signs(px, py, t.q1x, t.q1y, t.q2x, t.q2y, t.q3x, t.q3y, t.e1x, t.e1y, t.e2x, t.e2y, t.e3x,
                                    t.e3y))
                    bytes[k] = 0;
            }
        }
    }
    return true;
}

// The octagon around the centres of records [begin, end) and their height.
void outline_of(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top)
{
    const double* cx = f.cx.data();
    const double* cy = f.cy.data();
    const double* cz = f.cz.data();
    double x_lo = INFINITY, x_hi = -INFINITY, y_lo = INFINITY, y_hi = -INFINITY;
    double s_lo = INFINITY, s_hi = -INFINITY, d_lo = INFINITY, d_hi = -INFINITY, z_hi = -INFINITY;
    for (int32_t i = begin; i < end; ++i) {
        const double x = cx[i], y = cy[i], sum = x + y, diff = x - y;
        x_lo = x < x_lo ? x : x_lo;
        x_hi = x > x_hi ? x : x_hi;
        y_lo = y < y_lo ? y : y_lo;
        y_hi = y > y_hi ? y : y_hi;
        s_lo = sum < s_lo ? sum : s_lo;
        s_hi = sum > s_hi ? sum : s_hi;
        d_lo = diff < d_lo ? diff : d_lo;
        d_hi = diff > d_hi ? diff : d_hi;
        z_hi = cz[i] > z_hi ? cz[i] : z_hi;
    }
    o = {{x_lo, y_lo, s_lo, d_lo}, {x_hi, y_hi, s_hi, d_hi}};
    top = z_hi;
}

// One pass: bytes, then the covering of each lobe by the other. False when
// abandoned at a stop request.
bool fast_pass(fast_visibility_scratch& s, const mat3& frame, const visibility_body& body, vec3 direction,
               const stop_request& stop)
{
    const double* reach = body.reach;
    const int32_t lobe_split = body.lobe_split;
    project_centres(s, frame, body.centres, body.normals, body.facet_count, direction);
    if (stop.requested()) return false;
    const facing_set& f = s.facing;
    const int32_t n = f.count;
    if (n == 0) return true;
    if (lobe_split <= 0) {
        // No convex lobes to rely on: every record may cover every other.
        octagon outline;
        double top;
        outline_of(f, 0, n, outline, top);
        const double widest = std::max(reach[0], reach[1]);
        octagon spread;
        double bottom;
        if (build_points(s.points, f, 0, n, s.bytes.data(), grown(outline, widest), top, spread, bottom))
            return cover_points(s.points, f, 0, n, s.bytes.data(), grown(spread, widest), bottom, frame, body, stop);
        return true;
    }
    const int32_t split =
        static_cast<int32_t>(std::lower_bound(f.index.begin(), f.index.begin() + n, lobe_split) - f.index.begin());
    if (split <= 0 || split >= n) return true;  // one convex lobe alone never covers itself
    const int32_t run[2][2] = {{0, split}, {split, n}};
    octagon outline[2];
    double top[2];
    for (int lobe = 0; lobe < 2; ++lobe) outline_of(f, run[lobe][0], run[lobe][1], outline[lobe], top[lobe]);
    for (int lobe = 0; lobe < 2; ++lobe) {
        const int other = 1 - lobe;
        octagon spread;
        double bottom;
        if (build_points(s.points, f, run[lobe][0], run[lobe][1], s.bytes.data(), grown(outline[other], reach[other]),
                         top[other], spread, bottom) &&
            !cover_points(s.points, f, run[other][0], run[other][1], s.bytes.data(), grown(spread, reach[other]),
                          bottom, frame, body, stop))
            return false;
    }
    return true;
}

}  // namespace

double facet_reach(const vec3* vertices, const facet* facets, const vec3* centres, int32_t begin, int32_t end)
{
    // The square root is monotonic: one of the largest square is enough.
    double square = 0.0;
    for (int32_t i = begin; i < end; ++i)
        for (int32_t v : {facets[i].a, facets[i].b, facets[i].c}) {
            const vec3& p = vertices[v - 1];
            const vec3& c = centres[i];
            const double dx = p.x - c.x, dy = p.y - c.y, dz = p.z - c.z;
            square = std::max(square, dx * dx + dy * dy + dz * dz);
        }
    // Projection rounds: a margin far beyond any rounding keeps the reach safe.
    return std::sqrt(square) * 1.000001 + 1e-9;
}

bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const visibility_view& view,
                     const stop_request& stop)
{
    assert(body.facet_count >= 0 && body.lobe_split >= 0 && body.lobe_split <= body.facet_count);
    scratch.stopped = false;
    const std::size_t size = static_cast<std::size_t>(body.facet_count);
    scratch.bytes.resize(size);
    std::fill(scratch.bytes.begin(), scratch.bytes.end(), uint8_t{255});
    facing_set& f = scratch.facing;
    f.index.resize(size);
    f.cx.resize(size);
    f.cy.resize(size);
    f.cz.resize(size);
    scratch.stopped = !fast_pass(scratch, view.sun_frame, body, view.sun_dir, stop) ||
                      !fast_pass(scratch, view.earth_frame, body, view.earth_dir, stop);
    return !scratch.stopped;
}
