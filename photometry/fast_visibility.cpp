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

// Every column the step fills sized for `facets` facets and `vertices`
// vertices, with the padding the batch loops read past their ends.
void size_columns(fast_visibility_scratch& s, int32_t facets, int32_t vertices)
{
    const std::size_t n = static_cast<std::size_t>(facets) + kernel_padding;
    const std::size_t v = static_cast<std::size_t>(vertices) + kernel_padding;
    facing_set& f = s.facing;
    for (auto* column : {&f.x, &f.y, &f.z}) column->resize(n);
    f.index.resize(n);
    for (auto* column : {&s.flat.x, &s.flat.y}) column->resize(v);
    point_grid& g = s.points;
    for (auto* column : {&g.x, &g.y, &g.z}) column->resize(n);
    g.index.resize(n);
    g.members.resize(n);
    triangle_columns& t = s.triangles;
    for (auto* column : {&t.q1x, &t.q1y, &t.q2x, &t.q2y, &t.q3x, &t.q3y, &t.e1x, &t.e1y, &t.e2x, &t.e2y, &t.e3x, &t.e3y,
                         &t.x_min, &t.x_max, &t.y_min, &t.y_max, &t.z})
        column->resize(n);
    for (auto* column : {&t.index, &t.x0, &t.x1, &t.y0, &t.y1}) column->resize(n);
    s.picks.resize(n);
}

// Buckets the `count` centres at facing positions g.members into a grid
// over their box `spread`: about one centre per cell (measured faster
// than two or four), the cells as square as the box allows.
void bucket_points(point_grid& g, const facing_set& f, int32_t count, const octagon& spread)
{
    const double x_lo = spread.lo[0], x_hi = spread.hi[0], y_lo = spread.lo[1], y_hi = spread.hi[1];
    const double w = x_hi - x_lo, h = y_hi - y_lo;
    const double cells = std::max(1.0, static_cast<double>(count));
    double nx = 1.0, ny = 1.0;
    if (w > 0.0 && h > 0.0) {
        nx = std::clamp(std::sqrt(cells * w / h), 1.0, cells);
        ny = std::clamp(cells / nx, 1.0, cells);
    } else if (w > 0.0) {
        nx = cells;
    } else if (h > 0.0) {
        ny = cells;
    }
    g.x_axis = make_axis(x_lo, x_hi, static_cast<int32_t>(nx));
    g.y_axis = make_axis(y_lo, y_hi, static_cast<int32_t>(ny));
    const int32_t total = g.x_axis.cells * g.y_axis.cells;
    g.cell_start.assign(static_cast<std::size_t>(total) + 1, 0);
    const int32_t* members = g.members.data();
    // The cell of each member, kept in fill's tail while counting.
    std::vector<int32_t>& cell = g.fill;
    cell.resize(static_cast<std::size_t>(total) + static_cast<std::size_t>(count));
    int32_t* cell_of = cell.data() + total;
    for (int32_t m = 0; m < count; ++m) {
        const std::size_t i = static_cast<std::size_t>(members[m]);
        cell_of[m] = g.y_axis.cell(f.y[i]) * g.x_axis.cells + g.x_axis.cell(f.x[i]);
        ++g.cell_start[static_cast<std::size_t>(cell_of[m]) + 1];
    }
    for (int32_t c = 0; c < total; ++c)
        g.cell_start[static_cast<std::size_t>(c) + 1] += g.cell_start[static_cast<std::size_t>(c)];
    std::copy(g.cell_start.begin(), g.cell_start.end() - 1, cell.begin());
    for (int32_t m = 0; m < count; ++m) {
        const std::size_t i = static_cast<std::size_t>(members[m]);
        const std::size_t slot = static_cast<std::size_t>(cell[static_cast<std::size_t>(cell_of[m])]++);
        g.x[slot] = f.x[i];
        g.y[slot] = f.y[i];
        g.z[slot] = f.z[i];
        g.index[slot] = f.index[i];
    }
    // The padding past the last centre never lies inside a box.
    for (std::size_t p = 0; p < kernel_padding; ++p) {
        const std::size_t slot = static_cast<std::size_t>(count) + p;
        g.x[slot] = g.y[slot] = g.z[slot] = NAN;
        g.index[slot] = 0;
    }
}

// Whether facing position `a` comes before `b` in the depth order: lower
// centre depth first, equal depths by facet index.
bool earlier(const facing_set& f, int32_t a, int32_t b)
{
    const std::size_t i = static_cast<std::size_t>(a), j = static_cast<std::size_t>(b);
    return f.z[i] < f.z[j] || (!(f.z[j] < f.z[i]) && f.index[i] < f.index[j]);
}

// Whether the centre at facing position `p` lies strictly inside the
// projected triangle of facet t, as the straightforward test decides it.
bool covers(const mat3& frame, const visibility_body& body, const facet& t, const facing_set& f, int32_t p)
{
    const double* m = frame.m;
    const vec3& a = body.vertices[t.a - 1];
    const vec3& b = body.vertices[t.b - 1];
    const vec3& c = body.vertices[t.c - 1];
    const double q1x = m[0] * a.x + m[1] * a.y + m[2] * a.z, q1y = m[3] * a.x + m[4] * a.y + m[5] * a.z;
    const double q2x = m[0] * b.x + m[1] * b.y + m[2] * b.z, q2y = m[3] * b.x + m[4] * b.y + m[5] * b.z;
    const double q3x = m[0] * c.x + m[1] * c.y + m[2] * c.z, q3y = m[3] * c.x + m[4] * c.y + m[5] * c.z;
    const double px = f.x[static_cast<std::size_t>(p)], py = f.y[static_cast<std::size_t>(p)];
    if (!(py > std::min(std::min(q1y, q2y), q3y)) || !(py < std::max(std::max(q1y, q2y), q3y)) ||
        !(px > std::min(std::min(q1x, q2x), q3x)) || !(px < std::max(std::max(q1x, q2x), q3x)))
        return false;
    return inside_by_signs(px, py, q1x, q1y, q2x, q2y, q3x, q3y, q2x - q1x, q2y - q1y, q3x - q2x, q3y - q2y, q1x - q3x,
                           q1y - q3y);
}

// Whether the centres at facing positions a and b are within `reach` of
// each other in x and in y: else neither facet's triangle can hold the
// other's centre.
bool within_reach(const facing_set& f, int32_t a, int32_t b, double reach)
{
    const std::size_t i = static_cast<std::size_t>(a), j = static_cast<std::size_t>(b);
    return std::fabs(f.x[i] - f.x[j]) <= reach && std::fabs(f.y[i] - f.y[j]) <= reach;
}

// The edge-on facet at facing position e against every facing facet of its
// own lobe (facing positions [begin, end), triangles within `reach` of
// their centres), both ways: covered by one, and covering one. Few facets
// are edge-on, so each simply tries its lobe.
void cover_within_lobe(const facing_set& f, int32_t e, int32_t begin, int32_t end, double reach, uint8_t* bytes,
                       const mat3& frame, const visibility_body& body)
{
    const int32_t e_index = f.index[static_cast<std::size_t>(e)];
    for (int32_t j = begin; j < end && bytes[e_index] != 0; ++j)
        if (j != e && within_reach(f, e, j, reach) && earlier(f, e, j) &&
            covers(frame, body, body.facets[f.index[static_cast<std::size_t>(j)]], f, e))
            bytes[e_index] = 0;
    for (int32_t i = begin; i < end; ++i) {
        const int32_t i_index = f.index[static_cast<std::size_t>(i)];
        if (i != e && bytes[i_index] != 0 && within_reach(f, i, e, reach) && earlier(f, i, e) &&
            covers(frame, body, body.facets[e_index], f, i))
            bytes[i_index] = 0;
    }
}

// Lets the facing facets of [o_begin, o_end) cover the centres of
// [p_begin, p_end) that may still be covered (those within `reachable`, not
// above `top`), growing the centres' octagon by `reach` to pick the
// occluders. False when abandoned at a stop request.
bool cover_run(fast_visibility_scratch& s, const visibility_kernels& k, const visibility_body& body,
               const body_columns& columns, const double* frame, bool& projected, int32_t p_begin, int32_t p_end,
               int32_t o_begin, int32_t o_end, const octagon& reachable, double top, double reach,
               const stop_request& stop)
{
    const facing_set& f = s.facing;
    octagon spread;
    double bottom;
    const int32_t points =
        k.select_points(f, p_begin, p_end, s.bytes.data(), reachable, top, s.points.members.data(), spread, bottom);
    if (points == 0) return true;
    bucket_points(s.points, f, points, spread);
    const int32_t occluders = k.select_occluders(f, o_begin, o_end, grown(spread, reach), bottom, s.picks.data());
    if (occluders == 0) return true;
    if (!projected) {
        k.project_vertices(columns, frame, s.flat);
        projected = true;
    }
    k.set_up_triangles(f, s.picks.data(), occluders, body.facets, s.flat, s.points, s.triangles);
    return k.cover(s.triangles, s.points, s.bytes.data(), stop);
}

// One pass: bytes, then the covering of each lobe by the other. False when
// abandoned at a stop request.
bool fast_pass(fast_visibility_scratch& s, const visibility_kernels& k, const mat3& frame, const visibility_body& body,
               const body_columns& columns, vec3 direction, const stop_request& stop)
{
    const vec3& d = direction;
    const bool has_direction =
        std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.z) && (d.x != 0.0 || d.y != 0.0 || d.z != 0.0);
    facing_set& f = s.facing;
    f.count = 0;
    f.edge_on.clear();
    if (!has_direction) {
        std::fill(s.bytes.begin(), s.bytes.end(), uint8_t{0});
        return true;
    }
    k.face(columns, {frame.m, d.x, d.y, d.z}, s.bytes.data(), f);
    if (stop.requested()) return false;
    const int32_t n = f.count;
    if (n == 0) return true;
    const double* reach = body.reach;
    bool projected = false;
    if (body.lobe_split <= 0) {
        // No convex lobes to rely on: every facet may cover every other.
        octagon outline;
        double top;
        k.outline(f, 0, n, outline, top);
        const double widest = std::max(reach[0], reach[1]);
        return cover_run(s, k, body, columns, frame.m, projected, 0, n, 0, n, grown(outline, widest), top, widest,
                         stop);
    }
    const int32_t split =
        static_cast<int32_t>(std::lower_bound(f.index.begin(), f.index.begin() + n, body.lobe_split) - f.index.begin());
    for (int32_t e : f.edge_on) {
        if (e < split)
            cover_within_lobe(f, e, 0, split, reach[0], s.bytes.data(), frame, body);
        else
            cover_within_lobe(f, e, split, n, reach[1], s.bytes.data(), frame, body);
    }
    if (split <= 0 || split >= n) return true;  // one convex lobe alone never covers itself
    const int32_t run[2][2] = {{0, split}, {split, n}};
    octagon outline[2];
    double top[2];
    for (int lobe = 0; lobe < 2; ++lobe) k.outline(f, run[lobe][0], run[lobe][1], outline[lobe], top[lobe]);
    for (int lobe = 0; lobe < 2; ++lobe) {
        const int other = 1 - lobe;
        if (!cover_run(s, k, body, columns, frame.m, projected, run[lobe][0], run[lobe][1], run[other][0],
                       run[other][1], grown(outline[other], reach[other]), top[other], reach[other], stop))
            return false;
    }
    return true;
}

// The largest coordinate magnitude of the vertices.
double largest_coordinate(const visibility_body& body)
{
    double r = 0.0;
    for (int32_t k = 0; k < body.vertex_count; ++k) {
        const vec3& v = body.vertices[k];
        r = std::max({r, std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
    }
    return r;
}

// The cosine below which a facing facet counts as edge-on (see
// body_columns). A facet's projected centre lies at least 2/3 of its
// projected area over its longest edge, i.e. at least (2/3) c h with c its
// cosine and h = area / longest edge, from every edge of its projection;
// rounding moves projected points and edge tests by far less than 2^-40
// of the largest coordinate R, and a computed cosine is off by far less
// than 2^-40 times the facet's aspect (longest edge / h). So with
// c >= 2^-36 (R / h + aspect) neither the facet nor its neighbours can
// reach its centre, on any lobe that is convex beyond rounding, as the
// sweep's deformed geodesic spheres are at every subdivision.
double edge_cosine(const visibility_body& body)
{
    const double R = largest_coordinate(body);
    double worst = 0.0;
    for (int32_t i = 0; i < body.facet_count; ++i) {
        const double len = body.normals[i].len;  // twice the area
        if (!(len > 0.0)) continue;              // faces nothing
        const facet& t = body.facets[i];
        const vec3& a = body.vertices[t.a - 1];
        const vec3& b = body.vertices[t.b - 1];
        const vec3& c = body.vertices[t.c - 1];
        const auto length = [](const vec3& p, const vec3& q) {
            const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
            return std::sqrt(dx * dx + dy * dy + dz * dz);
        };
        const double longest = std::max({length(a, b), length(b, c), length(c, a)});
        const double h = 0.5 * len / longest;
        worst = std::max(worst, R / h + longest / h);
    }
    return std::ldexp(worst, -36);
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

void lay_out_body(const visibility_body& body, body_columns& out)
{
    const std::size_t n = static_cast<std::size_t>(body.facet_count) + kernel_padding;
    const std::size_t v = static_cast<std::size_t>(body.vertex_count) + kernel_padding;
    out.facet_count = body.facet_count;
    out.vertex_count = body.vertex_count;
    for (auto* column : {&out.nx, &out.ny, &out.nz, &out.cx, &out.cy, &out.cz}) column->assign(n, 0.0);
    for (auto* column : {&out.vx, &out.vy, &out.vz}) column->assign(v, 0.0);
    for (int32_t i = 0; i < body.facet_count; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        out.nx[u] = body.normals[i].nx;
        out.ny[u] = body.normals[i].ny;
        out.nz[u] = body.normals[i].nz;
        out.cx[u] = body.centres[i].x;
        out.cy[u] = body.centres[i].y;
        out.cz[u] = body.centres[i].z;
    }
    for (int32_t k = 0; k < body.vertex_count; ++k) {
        const std::size_t u = static_cast<std::size_t>(k);
        out.vx[u] = body.vertices[k].x;
        out.vy[u] = body.vertices[k].y;
        out.vz[u] = body.vertices[k].z;
    }
    out.edge_cosine = body.lobe_split > 0 ? edge_cosine(body) : 0.0;
}

bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const visibility_view& view,
                     const stop_request& stop)
{
    lay_out_body(body, scratch.columns);
    return fast_visibility(scratch, body, scratch.columns, view, stop);
}

bool fast_visibility(fast_visibility_scratch& scratch, const visibility_body& body, const body_columns& columns,
                     const visibility_view& view, const stop_request& stop)
{
    assert(body.facet_count >= 0 && body.lobe_split >= 0 && body.lobe_split <= body.facet_count);
    assert(columns.facet_count == body.facet_count && columns.vertex_count == body.vertex_count);
    scratch.stopped = false;
    scratch.bytes.resize(static_cast<std::size_t>(body.facet_count));
    std::fill(scratch.bytes.begin(), scratch.bytes.end(), uint8_t{255});
    size_columns(scratch, body.facet_count, body.vertex_count);
    const visibility_kernels& k = kernels_for(simd_in_use());
    scratch.stopped = !fast_pass(scratch, k, view.sun_frame, body, columns, view.sun_dir, stop) ||
                      !fast_pass(scratch, k, view.earth_frame, body, columns, view.earth_dir, stop);
    return !scratch.stopped;
}
