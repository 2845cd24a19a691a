#include "photometry/visibility_kernels.hpp"

#include <algorithm>
#include <cmath>

#include "photometry/visibility.hpp"

namespace {

// The four coordinates of a point that an octagon bounds.
inline void octagon_coordinates(double x, double y, double (&u)[4])
{
    u[0] = x;
    u[1] = y;
    u[2] = x + y;
    u[3] = x - y;
}

inline bool contains(const octagon& o, double x, double y)
{
    double u[4];
    octagon_coordinates(x, y, u);
    for (int k = 0; k < 4; ++k)
        if (u[k] < o.lo[k] || u[k] > o.hi[k]) return false;
    return true;
}

void face_all(const body_columns& body, const pass_view& view, uint8_t* bytes, facing_set& f)
{
    scalar_kernels::face(body, view, bytes, f, 0);
}

// An octagon holding nothing, to grow point by point.
octagon empty_octagon()
{
    return {{INFINITY, INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY, -INFINITY}};
}

void outline(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top)
{
    o = empty_octagon();
    top = -INFINITY;
    scalar_kernels::outline(f, begin, end, o, top);
}

int32_t select_points(const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes, const octagon& reachable,
                      double top, int32_t* out, octagon& spread, double& bottom)
{
    spread = empty_octagon();
    bottom = INFINITY;
    return scalar_kernels::select_points(f, begin, end, bytes, reachable, top, out, 0, spread, bottom);
}

int32_t select_occluders(const facing_set& f, int32_t begin, int32_t end, const octagon& near, double bottom,
                         int32_t* out)
{
    return scalar_kernels::select_occluders(f, begin, end, near, bottom, out, 0);
}

void project_vertices(const body_columns& body, const double* m, flat_vertices& out)
{
    const double m0 = m[0], m1 = m[1], m2 = m[2], m3 = m[3], m4 = m[4], m5 = m[5];
    for (int32_t k = 0; k < body.vertex_count; ++k) {
        const double x = body.vx[static_cast<std::size_t>(k)], y = body.vy[static_cast<std::size_t>(k)],
                     z = body.vz[static_cast<std::size_t>(k)];
        out.x[static_cast<std::size_t>(k)] = m0 * x + m1 * y + m2 * z;
        out.y[static_cast<std::size_t>(k)] = m3 * x + m4 * y + m5 * z;
    }
}

void set_up_all(const facing_set& f, const int32_t* picks, int32_t n, const facet* facets, const flat_vertices& flat,
                const point_grid& grid, triangle_columns& out)
{
    scalar_kernels::set_up_triangles(f, picks, 0, n, facets, flat, grid, out);
}

bool cover(const triangle_columns& t, const point_grid& g, uint8_t* bytes, const stop_request& stop)
{
    const int32_t columns = g.x_axis.cells;
    for (int32_t o = 0; o < t.count; ++o) {
        // A look at the stop request every so many occluders.
        if ((o & 0xffff) == 0 && stop.requested()) return false;
        const std::size_t u = static_cast<std::size_t>(o);
        const double x_min = t.x_min[u], x_max = t.x_max[u], y_min = t.y_min[u], y_max = t.y_max[u];
        const double oz = t.z[u];
        const int32_t o_index = t.index[u];
        // The cells of one row are consecutive, and so are their centres.
        for (int32_t cy = t.y0[u]; cy <= t.y1[u]; ++cy) {
            const std::size_t row = static_cast<std::size_t>(cy * columns);
            const int32_t first = g.cell_start[row + static_cast<std::size_t>(t.x0[u])];
            const int32_t last = g.cell_start[row + static_cast<std::size_t>(t.x1[u]) + 1];
            for (int32_t q = first; q < last; ++q) {
                const std::size_t v = static_cast<std::size_t>(q);
                const double px = g.x[v], py = g.y[v], pz = g.z[v];
                const int32_t k = g.index[v];
                // Evaluated whole, without branches: a hit is rare.
                const bool inside_box = (py > y_min) & (py < y_max) & (px > x_min) & (px < x_max);
                const bool later = (pz < oz) | (!(oz < pz) & (k < o_index));
                if (inside_box & later && bytes[k] != 0 &&
                    inside_by_signs(px, py, t.q1x[u], t.q1y[u], t.q2x[u], t.q2y[u], t.q3x[u], t.q3y[u], t.e1x[u],
                                    t.e1y[u], t.e2x[u], t.e2y[u], t.e3x[u], t.e3y[u]))
                    bytes[k] = 0;
            }
        }
    }
    return true;
}

const visibility_kernels scalar_table{face_all,         outline,    select_points, select_occluders,
                                      project_vertices, set_up_all, cover};

}  // namespace

namespace scalar_kernels {

void outline(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top)
{
    for (int32_t i = begin; i < end; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        double c[4];
        octagon_coordinates(f.x[u], f.y[u], c);
        for (int k = 0; k < 4; ++k) {
            o.lo[k] = c[k] < o.lo[k] ? c[k] : o.lo[k];
            o.hi[k] = c[k] > o.hi[k] ? c[k] : o.hi[k];
        }
        top = f.z[u] > top ? f.z[u] : top;
    }
}

int32_t select_points(const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes, const octagon& reachable,
                      double top, int32_t* out, int32_t n, octagon& spread, double& bottom)
{
    for (int32_t i = begin; i < end; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (bytes[f.index[u]] == 0) continue;
        // Above every candidate occluder nothing comes later in depth.
        const double z = f.z[u];
        if (z > top) continue;
        const double x = f.x[u], y = f.y[u];
        if (!contains(reachable, x, y)) continue;
        out[n++] = i;
        double c[4];
        octagon_coordinates(x, y, c);
        for (int k = 0; k < 4; ++k) {
            spread.lo[k] = c[k] < spread.lo[k] ? c[k] : spread.lo[k];
            spread.hi[k] = c[k] > spread.hi[k] ? c[k] : spread.hi[k];
        }
        bottom = z < bottom ? z : bottom;
    }
    return n;
}

int32_t select_occluders(const facing_set& f, int32_t begin, int32_t end, const octagon& near, double bottom,
                         int32_t* out, int32_t n)
{
    for (int32_t o = begin; o < end; ++o) {
        // Below every candidate centre an occluder comes before them all.
        if (f.z[static_cast<std::size_t>(o)] < bottom) continue;
        if (!contains(near, f.x[static_cast<std::size_t>(o)], f.y[static_cast<std::size_t>(o)])) continue;
        out[n++] = o;
    }
    return n;
}

void face(const body_columns& body, const pass_view& view, uint8_t* bytes, facing_set& f, int32_t begin)
{
    const double dx = view.dx, dy = view.dy, dz = view.dz;
    const double* m = view.frame;
    const double m0 = m[0], m1 = m[1], m2 = m[2], m3 = m[3], m4 = m[4], m5 = m[5], m6 = m[6], m7 = m[7], m8 = m[8];
    const double edge = body.edge_cosine;
    int32_t n = f.count;
    for (int32_t i = begin; i < body.facet_count; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        const double c = body.nx[u] * dx + body.ny[u] * dy + body.nz[u] * dz;
        if (!(c > 0)) {
            bytes[i] = 0;
            continue;
        }
        bytes[i] = pass_byte(bytes[i], c);
        const double x = body.cx[u], y = body.cy[u], z = body.cz[u];
        const std::size_t w = static_cast<std::size_t>(n);
        f.index[w] = i;
        f.x[w] = m0 * x + m1 * y + m2 * z;
        f.y[w] = m3 * x + m4 * y + m5 * z;
        f.z[w] = m6 * x + m7 * y + m8 * z;
        if (c < edge) f.edge_on.push_back(n);
        ++n;
    }
    f.count = n;
}

void set_up_triangles(const facing_set& f, const int32_t* picks, int32_t begin, int32_t n, const facet* facets,
                      const flat_vertices& flat, const point_grid& grid, triangle_columns& out)
{
    for (int32_t p = begin; p < n; ++p) {
        const std::size_t o = static_cast<std::size_t>(picks[p]);
        const std::size_t u = static_cast<std::size_t>(p);
        const facet& t = facets[f.index[o]];
        const double q1x = flat.x[static_cast<std::size_t>(t.a - 1)], q1y = flat.y[static_cast<std::size_t>(t.a - 1)];
        const double q2x = flat.x[static_cast<std::size_t>(t.b - 1)], q2y = flat.y[static_cast<std::size_t>(t.b - 1)];
        const double q3x = flat.x[static_cast<std::size_t>(t.c - 1)], q3y = flat.y[static_cast<std::size_t>(t.c - 1)];
        out.q1x[u] = q1x;
        out.q1y[u] = q1y;
        out.q2x[u] = q2x;
        out.q2y[u] = q2y;
        out.q3x[u] = q3x;
        out.q3y[u] = q3y;
        out.e1x[u] = q2x - q1x;
        out.e1y[u] = q2y - q1y;
        out.e2x[u] = q3x - q2x;
        out.e2y[u] = q3y - q2y;
        out.e3x[u] = q1x - q3x;
        out.e3y[u] = q1y - q3y;
        const double x_min = std::min(std::min(q1x, q2x), q3x), x_max = std::max(std::max(q1x, q2x), q3x);
        const double y_min = std::min(std::min(q1y, q2y), q3y), y_max = std::max(std::max(q1y, q2y), q3y);
        out.x_min[u] = x_min;
        out.x_max[u] = x_max;
        out.y_min[u] = y_min;
        out.y_max[u] = y_max;
        out.z[u] = f.z[o];
        out.index[u] = f.index[o];
        out.x0[u] = grid.x_axis.cell(x_min);
        out.x1[u] = grid.x_axis.cell(x_max);
        out.y0[u] = grid.y_axis.cell(y_min);
        out.y1[u] = grid.y_axis.cell(y_max);
    }
    out.count = n;
}

}  // namespace scalar_kernels

const visibility_kernels& kernels_for(simd_level level)
{
    const visibility_kernels* avx2 = avx2_kernels();
    if (level == simd_level::avx2 && avx2 && best_simd_level() == simd_level::avx2) return *avx2;
    return scalar_table;
}
