// The AVX2 forms of the visibility step's batch loops: four doubles at a
// time, each lane making the scalar form's operations in its order (no
// fused multiply-add; min and max chosen to keep the scalar's operand on
// ties), so that the bytes are the scalar loops' bytes. Built for every
// x86-64 processor and entered only where __builtin_cpu_supports("avx2").
#include "photometry/visibility_kernels.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstring>

#include "photometry/visibility.hpp"

#define MORVANE_AVX2 __attribute__((target("avx2")))

namespace {

// For each 4-bit lane mask, the permutations that move the chosen lanes to
// the front, in order: as eight 32-bit lanes for doubles, as four for int32.
struct pack_tables {
    std::array<std::array<int32_t, 8>, 16> wide;
    std::array<std::array<int32_t, 4>, 16> narrow;
};

constexpr pack_tables make_pack_tables()
{
    pack_tables t{};
    for (int mask = 0; mask < 16; ++mask) {
        int p = 0;
        for (int lane = 0; lane < 4; ++lane)
            if (mask & (1 << lane)) {
                t.wide[mask][2 * p] = 2 * lane;
                t.wide[mask][2 * p + 1] = 2 * lane + 1;
                t.narrow[mask][p] = lane;
                ++p;
            }
    }
    return t;
}

alignas(32) constexpr pack_tables tables = make_pack_tables();

// The chosen lanes of v (mask bits), in order, stored from `out` on; the
// store writes all four lanes, so `out` needs room for four.
MORVANE_AVX2 inline void pack_store(double* out, __m256d v, int mask)
{
    const __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables.wide[mask].data()));
    _mm256_storeu_pd(out, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order)));
}

MORVANE_AVX2 inline void pack_store(int32_t* out, __m128i v, int mask)
{
    const __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.narrow[mask].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_castps_si128(_mm_permutevar_ps(_mm_castsi128_ps(v), order)));
}

// The lane numbers i, i + 1, i + 2, i + 3.
MORVANE_AVX2 inline __m128i lanes_from(int32_t i)
{
    return _mm_add_epi32(_mm_set1_epi32(i), _mm_setr_epi32(0, 1, 2, 3));
}

// A 32-bit lane mask widened to a 64-bit one.
MORVANE_AVX2 inline __m256d widen_mask(__m128i m)
{
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(m));
}

// Lanes where x, y lie in the octagon (every coordinate not below lo and
// not above hi, as `contains` decides it).
MORVANE_AVX2 inline __m256d inside_octagon(const octagon& o, __m256d x, __m256d y)
{
    const __m256d u[4] = {x, y, _mm256_add_pd(x, y), _mm256_sub_pd(x, y)};
    __m256d out = _mm256_setzero_pd();
    for (int k = 0; k < 4; ++k) {
        out = _mm256_or_pd(out, _mm256_cmp_pd(u[k], _mm256_set1_pd(o.lo[k]), _CMP_LT_OQ));
        out = _mm256_or_pd(out, _mm256_cmp_pd(u[k], _mm256_set1_pd(o.hi[k]), _CMP_GT_OQ));
    }
    return _mm256_xor_pd(out, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
}

// The least and greatest lane, folded into lo and hi as the scalar loop
// folds a value (v < lo ? v : lo).
MORVANE_AVX2 inline void fold_lanes(__m256d lo_v, __m256d hi_v, double& lo, double& hi)
{
    alignas(32) double l[4], h[4];
    _mm256_store_pd(l, lo_v);
    _mm256_store_pd(h, hi_v);
    for (int j = 0; j < 4; ++j) {
        lo = l[j] < lo ? l[j] : lo;
        hi = h[j] > hi ? h[j] : hi;
    }
}

MORVANE_AVX2 void face(const body_columns& body, const pass_view& view, uint8_t* bytes, facing_set& f)
{
    const double* m = view.frame;
    const __m256d dx = _mm256_set1_pd(view.dx), dy = _mm256_set1_pd(view.dy), dz = _mm256_set1_pd(view.dz);
    const __m256d m0 = _mm256_set1_pd(m[0]), m1 = _mm256_set1_pd(m[1]), m2 = _mm256_set1_pd(m[2]);
    const __m256d m3 = _mm256_set1_pd(m[3]), m4 = _mm256_set1_pd(m[4]), m5 = _mm256_set1_pd(m[5]);
    const __m256d m6 = _mm256_set1_pd(m[6]), m7 = _mm256_set1_pd(m[7]), m8 = _mm256_set1_pd(m[8]);
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0), tenth = _mm256_set1_pd(0.1);
    const __m256d full = _mm256_set1_pd(254.0), untouched = _mm256_set1_pd(255.0);
    const __m256d edge = _mm256_set1_pd(body.edge_cosine);
    int32_t n = f.count;
    int32_t i = 0;
    for (; i + 4 <= body.facet_count; i += 4) {
        const std::size_t u = static_cast<std::size_t>(i);
        const __m256d c = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(&body.nx[u]), dx),
                                                      _mm256_mul_pd(_mm256_loadu_pd(&body.ny[u]), dy)),
                                        _mm256_mul_pd(_mm256_loadu_pd(&body.nz[u]), dz));
        const __m256d facing = _mm256_cmp_pd(c, zero, _CMP_GT_OQ);
        const int facing_mask = _mm256_movemask_pd(facing);
        // pass_byte on every lane, kept where the facet faces.
        int32_t packed;
        std::memcpy(&packed, bytes + i, 4);
        const __m256d w = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(packed)));
        const __m256d sun = _mm256_mul_pd(c, full);
        const __m256d earth =
            _mm256_mul_pd(_mm256_add_pd(_mm256_div_pd(one, _mm256_add_pd(_mm256_div_pd(w, full), c)), tenth), w);
        __m256d v = _mm256_blendv_pd(earth, sun, _mm256_cmp_pd(w, untouched, _CMP_EQ_OQ));
        v = _mm256_blendv_pd(v, full, _mm256_cmp_pd(v, full, _CMP_GT_OQ));
        const __m256d keep = _mm256_andnot_pd(_mm256_cmp_pd(w, zero, _CMP_EQ_OQ), facing);
        const __m128i words = _mm256_cvttpd_epi32(_mm256_and_pd(v, keep));
        const __m128i narrow = _mm_packus_epi16(_mm_packus_epi32(words, words), _mm_setzero_si128());
        packed = _mm_cvtsi128_si32(narrow);
        std::memcpy(bytes + i, &packed, 4);
        if (facing_mask == 0) continue;
        const __m256d x = _mm256_loadu_pd(&body.cx[u]), y = _mm256_loadu_pd(&body.cy[u]),
                      z = _mm256_loadu_pd(&body.cz[u]);
        const std::size_t w_at = static_cast<std::size_t>(n);
        pack_store(&f.index[w_at], lanes_from(i), facing_mask);
        pack_store(&f.x[w_at],
                   _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m0, x), _mm256_mul_pd(m1, y)), _mm256_mul_pd(m2, z)),
                   facing_mask);
        pack_store(&f.y[w_at],
                   _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m3, x), _mm256_mul_pd(m4, y)), _mm256_mul_pd(m5, z)),
                   facing_mask);
        pack_store(&f.z[w_at],
                   _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m6, x), _mm256_mul_pd(m7, y)), _mm256_mul_pd(m8, z)),
                   facing_mask);
        const int edge_mask = _mm256_movemask_pd(_mm256_and_pd(facing, _mm256_cmp_pd(c, edge, _CMP_LT_OQ)));
        for (int lane = 0; lane < 4; ++lane)
            if (edge_mask & (1 << lane)) f.edge_on.push_back(n + __builtin_popcount(facing_mask & ((1 << lane) - 1)));
        n += __builtin_popcount(facing_mask);
    }
    f.count = n;
    scalar_kernels::face(body, view, bytes, f, i);
}

MORVANE_AVX2 void outline(const facing_set& f, int32_t begin, int32_t end, octagon& o, double& top)
{
    const double inf = INFINITY;
    __m256d lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = _mm256_set1_pd(inf);
        hi[k] = _mm256_set1_pd(-inf);
    }
    __m256d z_hi = _mm256_set1_pd(-inf);
    int32_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const std::size_t u = static_cast<std::size_t>(i);
        const __m256d x = _mm256_loadu_pd(&f.x[u]), y = _mm256_loadu_pd(&f.y[u]);
        const __m256d c[4] = {x, y, _mm256_add_pd(x, y), _mm256_sub_pd(x, y)};
        for (int k = 0; k < 4; ++k) {
            lo[k] = _mm256_min_pd(c[k], lo[k]);
            hi[k] = _mm256_max_pd(c[k], hi[k]);
        }
        z_hi = _mm256_max_pd(_mm256_loadu_pd(&f.z[u]), z_hi);
    }
    o = {{inf, inf, inf, inf}, {-inf, -inf, -inf, -inf}};
    double ignored = inf;
    top = -inf;
    for (int k = 0; k < 4; ++k) fold_lanes(lo[k], hi[k], o.lo[k], o.hi[k]);
    fold_lanes(z_hi, z_hi, ignored, top);
    scalar_kernels::outline(f, i, end, o, top);
}

MORVANE_AVX2 int32_t select_points(const facing_set& f, int32_t begin, int32_t end, const uint8_t* bytes,
                                   const octagon& reachable, double top, int32_t* out, octagon& spread, double& bottom)
{
    const double inf = INFINITY;
    const __m256d high = _mm256_set1_pd(inf), low = _mm256_set1_pd(-inf), top_v = _mm256_set1_pd(top);
    __m256d lo[4] = {high, high, high, high}, hi[4] = {low, low, low, low}, z_lo = high;
    int32_t n = 0;
    int32_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const std::size_t u = static_cast<std::size_t>(i);
        const int32_t* index = &f.index[u];
        const __m128i lit = _mm_setr_epi32(bytes[index[0]], bytes[index[1]], bytes[index[2]], bytes[index[3]]);
        const __m256d x = _mm256_loadu_pd(&f.x[u]), y = _mm256_loadu_pd(&f.y[u]), z = _mm256_loadu_pd(&f.z[u]);
        __m256d ok = _mm256_andnot_pd(widen_mask(_mm_cmpeq_epi32(lit, _mm_setzero_si128())),
                                      _mm256_cmp_pd(z, top_v, _CMP_NGT_UQ));
        ok = _mm256_and_pd(ok, inside_octagon(reachable, x, y));
        const int mask = _mm256_movemask_pd(ok);
        if (mask == 0) continue;
        pack_store(out + n, lanes_from(i), mask);
        n += __builtin_popcount(mask);
        const __m256d c[4] = {x, y, _mm256_add_pd(x, y), _mm256_sub_pd(x, y)};
        for (int k = 0; k < 4; ++k) {
            lo[k] = _mm256_min_pd(_mm256_blendv_pd(high, c[k], ok), lo[k]);
            hi[k] = _mm256_max_pd(_mm256_blendv_pd(low, c[k], ok), hi[k]);
        }
        z_lo = _mm256_min_pd(_mm256_blendv_pd(high, z, ok), z_lo);
    }
    spread = {{inf, inf, inf, inf}, {-inf, -inf, -inf, -inf}};
    double ignored = -inf;
    bottom = inf;
    for (int k = 0; k < 4; ++k) fold_lanes(lo[k], hi[k], spread.lo[k], spread.hi[k]);
    fold_lanes(z_lo, z_lo, bottom, ignored);
    return scalar_kernels::select_points(f, i, end, bytes, reachable, top, out, n, spread, bottom);
}

MORVANE_AVX2 int32_t select_occluders(const facing_set& f, int32_t begin, int32_t end, const octagon& near,
                                      double bottom, int32_t* out)
{
    const __m256d bottom_v = _mm256_set1_pd(bottom);
    int32_t n = 0;
    int32_t o = begin;
    for (; o + 4 <= end; o += 4) {
        const std::size_t u = static_cast<std::size_t>(o);
        const __m256d x = _mm256_loadu_pd(&f.x[u]), y = _mm256_loadu_pd(&f.y[u]), z = _mm256_loadu_pd(&f.z[u]);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(z, bottom_v, _CMP_NLT_UQ), inside_octagon(near, x, y));
        const int mask = _mm256_movemask_pd(ok);
        if (mask == 0) continue;
        pack_store(out + n, lanes_from(o), mask);
        n += __builtin_popcount(mask);
    }
    return scalar_kernels::select_occluders(f, o, end, near, bottom, out, n);
}

MORVANE_AVX2 void project_vertices(const body_columns& body, const double* m, flat_vertices& out)
{
    const __m256d m0 = _mm256_set1_pd(m[0]), m1 = _mm256_set1_pd(m[1]), m2 = _mm256_set1_pd(m[2]);
    const __m256d m3 = _mm256_set1_pd(m[3]), m4 = _mm256_set1_pd(m[4]), m5 = _mm256_set1_pd(m[5]);
    int32_t k = 0;
    for (; k + 4 <= body.vertex_count; k += 4) {
        const std::size_t u = static_cast<std::size_t>(k);
        const __m256d x = _mm256_loadu_pd(&body.vx[u]), y = _mm256_loadu_pd(&body.vy[u]),
                      z = _mm256_loadu_pd(&body.vz[u]);
        _mm256_storeu_pd(
            &out.x[u], _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m0, x), _mm256_mul_pd(m1, y)), _mm256_mul_pd(m2, z)));
        _mm256_storeu_pd(
            &out.y[u], _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m3, x), _mm256_mul_pd(m4, y)), _mm256_mul_pd(m5, z)));
    }
    for (; k < body.vertex_count; ++k) {
        const std::size_t u = static_cast<std::size_t>(k);
        const double x = body.vx[u], y = body.vy[u], z = body.vz[u];
        out.x[u] = m[0] * x + m[1] * y + m[2] * z;
        out.y[u] = m[3] * x + m[4] * y + m[5] * z;
    }
}

// base[index] for four 32-bit indices (the masked form: its start value is
// given, which the plain form leaves to the compiler to invent).
MORVANE_AVX2 inline __m256d gather(const double* base, __m128i index)
{
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, index, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
}

// grid_axis::cell on four values.
MORVANE_AVX2 inline __m128i cells_of(const grid_axis& axis, __m256d x)
{
    const __m256d t = _mm256_mul_pd(_mm256_sub_pd(x, _mm256_set1_pd(axis.origin)), _mm256_set1_pd(axis.scale));
    const __m256d cells = _mm256_set1_pd(static_cast<double>(axis.cells));
    __m256d clamped =
        _mm256_blendv_pd(t, _mm256_set1_pd(static_cast<double>(axis.cells - 1)), _mm256_cmp_pd(t, cells, _CMP_GE_OQ));
    clamped = _mm256_and_pd(clamped, _mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_GT_OQ));
    return _mm256_cvttpd_epi32(clamped);
}

MORVANE_AVX2 void set_up_triangles(const facing_set& f, const int32_t* picks, int32_t n, const facet* facets,
                                   const flat_vertices& flat, const point_grid& grid, triangle_columns& out)
{
    const int* corners = reinterpret_cast<const int*>(facets);
    const __m128i one = _mm_set1_epi32(1);
    int32_t p = 0;
    for (; p + 4 <= n; p += 4) {
        const std::size_t u = static_cast<std::size_t>(p);
        const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(picks + p));
        const __m128i index = _mm_i32gather_epi32(f.index.data(), o, 4);
        const __m128i first = _mm_add_epi32(index, _mm_add_epi32(index, index));  // 3 * index
        const __m128i a = _mm_sub_epi32(_mm_i32gather_epi32(corners, first, 4), one);
        const __m128i b = _mm_sub_epi32(_mm_i32gather_epi32(corners + 1, first, 4), one);
        const __m128i c = _mm_sub_epi32(_mm_i32gather_epi32(corners + 2, first, 4), one);
        const __m256d q1x = gather(flat.x.data(), a), q1y = gather(flat.y.data(), a);
        const __m256d q2x = gather(flat.x.data(), b), q2y = gather(flat.y.data(), b);
        const __m256d q3x = gather(flat.x.data(), c), q3y = gather(flat.y.data(), c);
        _mm256_storeu_pd(&out.q1x[u], q1x);
        _mm256_storeu_pd(&out.q1y[u], q1y);
        _mm256_storeu_pd(&out.q2x[u], q2x);
        _mm256_storeu_pd(&out.q2y[u], q2y);
        _mm256_storeu_pd(&out.q3x[u], q3x);
        _mm256_storeu_pd(&out.q3y[u], q3y);
        _mm256_storeu_pd(&out.e1x[u], _mm256_sub_pd(q2x, q1x));
        _mm256_storeu_pd(&out.e1y[u], _mm256_sub_pd(q2y, q1y));
        _mm256_storeu_pd(&out.e2x[u], _mm256_sub_pd(q3x, q2x));
        _mm256_storeu_pd(&out.e2y[u], _mm256_sub_pd(q3y, q2y));
        _mm256_storeu_pd(&out.e3x[u], _mm256_sub_pd(q1x, q3x));
        _mm256_storeu_pd(&out.e3y[u], _mm256_sub_pd(q1y, q3y));
        // std::min(a, b) is (b < a ? b : a), that is _mm256_min_pd(b, a).
        const __m256d x_min = _mm256_min_pd(q3x, _mm256_min_pd(q2x, q1x));
        const __m256d x_max = _mm256_max_pd(q3x, _mm256_max_pd(q2x, q1x));
        const __m256d y_min = _mm256_min_pd(q3y, _mm256_min_pd(q2y, q1y));
        const __m256d y_max = _mm256_max_pd(q3y, _mm256_max_pd(q2y, q1y));
        _mm256_storeu_pd(&out.x_min[u], x_min);
        _mm256_storeu_pd(&out.x_max[u], x_max);
        _mm256_storeu_pd(&out.y_min[u], y_min);
        _mm256_storeu_pd(&out.y_max[u], y_max);
        _mm256_storeu_pd(&out.z[u], gather(f.z.data(), o));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&out.index[u]), index);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&out.x0[u]), cells_of(grid.x_axis, x_min));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&out.x1[u]), cells_of(grid.x_axis, x_max));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&out.y0[u]), cells_of(grid.y_axis, y_min));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&out.y1[u]), cells_of(grid.y_axis, y_max));
    }
    scalar_kernels::set_up_triangles(f, picks, p, n, facets, flat, grid, out);
}

MORVANE_AVX2 bool cover(const triangle_columns& t, const point_grid& g, uint8_t* bytes, const stop_request& stop)
{
    const int32_t columns = g.x_axis.cells;
    for (int32_t o = 0; o < t.count; ++o) {
        // A look at the stop request every so many occluders.
        if ((o & 0xffff) == 0 && stop.requested()) return false;
        const std::size_t u = static_cast<std::size_t>(o);
        const __m256d x_min = _mm256_set1_pd(t.x_min[u]), x_max = _mm256_set1_pd(t.x_max[u]);
        const __m256d y_min = _mm256_set1_pd(t.y_min[u]), y_max = _mm256_set1_pd(t.y_max[u]);
        const __m256d oz = _mm256_set1_pd(t.z[u]);
        const __m128i o_index = _mm_set1_epi32(t.index[u]);
        const __m256d q1x = _mm256_set1_pd(t.q1x[u]), q1y = _mm256_set1_pd(t.q1y[u]);
        const __m256d q2x = _mm256_set1_pd(t.q2x[u]), q2y = _mm256_set1_pd(t.q2y[u]);
        const __m256d q3x = _mm256_set1_pd(t.q3x[u]), q3y = _mm256_set1_pd(t.q3y[u]);
        const __m256d e1x = _mm256_set1_pd(t.e1x[u]), e1y = _mm256_set1_pd(t.e1y[u]);
        const __m256d e2x = _mm256_set1_pd(t.e2x[u]), e2y = _mm256_set1_pd(t.e2y[u]);
        const __m256d e3x = _mm256_set1_pd(t.e3x[u]), e3y = _mm256_set1_pd(t.e3y[u]);
        const __m256d zero = _mm256_setzero_pd();
        for (int32_t cy = t.y0[u]; cy <= t.y1[u]; ++cy) {
            const std::size_t row = static_cast<std::size_t>(cy * columns);
            const int32_t first = g.cell_start[row + static_cast<std::size_t>(t.x0[u])];
            const int32_t last = g.cell_start[row + static_cast<std::size_t>(t.x1[u]) + 1];
            const __m128i last_v = _mm_set1_epi32(last);
            for (int32_t q = first; q < last; q += 4) {
                const std::size_t v = static_cast<std::size_t>(q);
                const __m256d px = _mm256_loadu_pd(&g.x[v]), py = _mm256_loadu_pd(&g.y[v]),
                              pz = _mm256_loadu_pd(&g.z[v]);
                const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&g.index[v]));
                __m256d hit = widen_mask(_mm_cmplt_epi32(lanes_from(q), last_v));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(py, y_min, _CMP_GT_OQ));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(py, y_max, _CMP_LT_OQ));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(px, x_min, _CMP_GT_OQ));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(px, x_max, _CMP_LT_OQ));
                // Later in depth: lower, or as high and of a lower index.
                const __m256d later = _mm256_or_pd(
                    _mm256_cmp_pd(pz, oz, _CMP_LT_OQ),
                    _mm256_and_pd(_mm256_cmp_pd(oz, pz, _CMP_NLT_UQ), widen_mask(_mm_cmplt_epi32(k, o_index))));
                hit = _mm256_and_pd(hit, later);
                const __m256d s1 = _mm256_sub_pd(_mm256_mul_pd(e1x, _mm256_sub_pd(py, q1y)),
                                                 _mm256_mul_pd(e1y, _mm256_sub_pd(px, q1x)));
                const __m256d s2 = _mm256_sub_pd(_mm256_mul_pd(e2x, _mm256_sub_pd(py, q2y)),
                                                 _mm256_mul_pd(e2y, _mm256_sub_pd(px, q2x)));
                const __m256d s3 = _mm256_sub_pd(_mm256_mul_pd(e3x, _mm256_sub_pd(py, q3y)),
                                                 _mm256_mul_pd(e3y, _mm256_sub_pd(px, q3x)));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(_mm256_mul_pd(s2, s1), zero, _CMP_GT_OQ));
                hit = _mm256_and_pd(hit, _mm256_cmp_pd(_mm256_mul_pd(s3, s1), zero, _CMP_GT_OQ));
                // Cleared without a branch: each lane keeps its byte or zeroes it.
                const int mask = _mm256_movemask_pd(hit);
                const int32_t* k_at = &g.index[v];
                for (int j = 0; j < 4; ++j)
                    bytes[k_at[j]] = static_cast<uint8_t>(bytes[k_at[j]] & ((mask >> j & 1) - 1));
            }
        }
    }
    return true;
}

const visibility_kernels avx2_table{face, outline, select_points, select_occluders, project_vertices, set_up_triangles,
                                    cover};

}  // namespace

const visibility_kernels* avx2_kernels()
{
    return &avx2_table;
}

#else

const visibility_kernels* avx2_kernels()
{
    return nullptr;
}

#endif
