// The fast visibility step against the straightforward one, and the
// properties of the lobes it relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "common/simd.hpp"
#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/fast_visibility.hpp"
#include "photometry/view_geometry.hpp"
#include "photometry/visibility.hpp"
#include "support/body_views.hpp"
#include "sweep/fast_eval.hpp"

namespace {

// A deformed, offset twin-sphere body with its normals and centres.
struct shape {
    std::vector<vec3> v;
    std::vector<facet> f;
    std::vector<facet_normal> n;
    std::vector<vec3> c;
    int32_t split = 0;  // first facet of body 2
    double reach[2] = {0.0, 0.0};
    int32_t count() const { return static_cast<int32_t>(f.size()); }
};

// Finishes a shape: normals, centres and each lobe's reach.
void complete(shape& s)
{
    ASSERT_EQ(comp_normal(s.count(), s.v.data(), s.f.data(), s.n), 1);
    ASSERT_EQ(comp_facet_center(s.count(), s.v.data(), s.f.data(), s.c), 1);
    s.reach[0] = facet_reach(s.v.data(), s.f.data(), s.c.data(), 0, s.split);
    s.reach[1] = facet_reach(s.v.data(), s.f.data(), s.c.data(), s.split, s.count());
}

mesh twin(int subdivisions)
{
    mesh sphere, pair;
    make_icosahedron(sphere);
    for (int i = 0; i < subdivisions; ++i) subdivide_mesh(sphere);
    make_twin_shape(sphere, pair);
    return pair;
}

// The twin deformed by the seven shape parameters as a sweep deforms it.
shape deformed(const mesh& base, const double (&p)[7])
{
    shape s;
    deform_vertices(base.vertices, p, s.v);
    const double h = p[6] * 0.5;
    const std::size_t half = s.v.size() / 2;
    for (std::size_t k = 0; k < s.v.size(); ++k) s.v[k].x = k < half ? s.v[k].x - h : h + s.v[k].x;
    s.f = base.facets;
    s.split = base.facet_count;
    complete(s);
    return s;
}

// The bytes of one sample by the straightforward step.
std::vector<uint8_t> reference_bytes(const shape& s, const mat3& r, const mat3& ef, const mat3& sf, vec3 e, vec3 sun)
{
    std::vector<uint8_t> bytes;
    std::vector<proj_facet> records;
    comp_visibility(bytes, records, s.v.data(), s.f.data(), s.c.data(), s.n.data(), s.count(), r, ef, sf, e, sun);
    return bytes;
}

// The shape as the fast step takes it.
visibility_body body_of(const shape& s)
{
    visibility_body body;
    body.vertices = s.v.data();
    body.vertex_count = static_cast<int32_t>(s.v.size());
    body.facets = s.f.data();
    body.centres = s.c.data();
    body.normals = s.n.data();
    body.facet_count = s.count();
    body.lobe_split = s.split;
    body.reach[0] = s.reach[0];
    body.reach[1] = s.reach[1];
    return body;
}

// The bytes of one sample by the fast step.
std::vector<uint8_t> fast_bytes(const shape& s, fast_visibility_scratch& scratch, const mat3& r, const mat3& ef,
                                const mat3& sf, vec3 e, vec3 sun)
{
    EXPECT_TRUE(fast_visibility(scratch, body_of(s), {ef, sf, body_direction(r, e), body_direction(r, sun)}));
    return scratch.bytes;
}

// A unit vector spread evenly over the sphere.
vec3 random_direction(std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0), a(0.0, 2 * pi);
    const double z = u(rng), phi = a(rng), r = std::sqrt(1 - z * z);
    return {r * std::cos(phi), r * std::sin(phi), z};
}

// Random shape parameters within the sweep's ranges.
void random_params(std::mt19937_64& rng, double (&p)[7])
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    p[0] = 1.0;
    p[1] = 0.5 + 0.5 * u(rng);
    p[2] = p[1] * (0.5 + 0.5 * u(rng));
    p[3] = 0.1 + 0.9 * u(rng);
    p[4] = p[3] * (0.5 + 0.5 * u(rng));
    p[5] = p[4] * (0.5 + 0.5 * u(rng));
    p[6] = 1.0 - p[3] + 2.0 * p[3] * u(rng);
}

// The instruction-set levels this processor runs.
std::vector<simd_level> levels()
{
    std::vector<simd_level> all{simd_level::scalar};
    if (best_simd_level() != simd_level::scalar) all.push_back(best_simd_level());
    return all;
}

// Uses a level for as long as it lives, then the best again.
struct simd_choice {
    explicit simd_choice(simd_level level) { force_simd_level(level); }
    ~simd_choice() { force_simd_level(best_simd_level()); }
    simd_choice(const simd_choice&) = delete;
    simd_choice& operator=(const simd_choice&) = delete;
};

}  // namespace

TEST(FastVisibility, SameBytesAsTheReferenceOnManyShapesAndGeometries)
{
    // Every instruction-set level this processor runs, the lobes trusted or
    // every facet searched, against the straightforward step.
    std::mt19937_64 rng(20261208);
    fast_visibility_scratch scratch;
    int64_t facets_checked = 0, covered = 0;
    for (int n = 1; n <= 4; ++n) {
        const mesh base = twin(n);
        const int shapes = n <= 2 ? 40 : (n == 3 ? 12 : 3);
        for (int k = 0; k < shapes; ++k) {
            double p[7];
            random_params(rng, p);
            // The corners of the grid too: thinnest lobes, deepest push.
            if (k == 0) p[1] = 0.5, p[2] = 0.25, p[3] = 0.1, p[4] = 0.05, p[5] = 0.025, p[6] = 1.1;
            if (k == 1) p[1] = 1.0, p[2] = 1.0, p[3] = 1.0, p[4] = 1.0, p[5] = 1.0, p[6] = 0.0;
            const shape s = deformed(base, p);
            for (int g = 0; g < 6; ++g) {
                const vec3 e = random_direction(rng), sun = random_direction(rng);
                std::uniform_real_distribution<double> angle(0.0, 2 * pi), lat(-pi / 2, pi / 2);
                mat3 r, ef, sf;
                comp_view_matrices(r, ef, sf, e, sun, angle(rng), lat(rng), angle(rng));
                const auto expected = reference_bytes(s, r, ef, sf, e, sun);
                for (simd_level level : levels()) {
                    const simd_choice use(level);
                    const auto got = fast_bytes(s, scratch, r, ef, sf, e, sun);
                    ASSERT_EQ(got, expected)
                        << simd_name(level) << ", n = " << n << ", shape " << k << ", geometry " << g;
                    // Searching every facet, as for bodies not made of two lobes.
                    shape whole = s;
                    whole.split = 0;
                    ASSERT_EQ(fast_bytes(whole, scratch, r, ef, sf, e, sun), expected)
                        << simd_name(level) << ", all facets, n = " << n;
                }
                facets_checked += s.count();
                for (uint8_t b : expected) covered += b == 0;
            }
        }
    }
    EXPECT_GT(covered, facets_checked / 4);  // the geometries did exercise the covering
}

TEST(FastVisibility, EveryInstructionSetGivesTheSameBytesUpToFiveSubdivisions)
{
    // The vector loops against the scalar ones on finer meshes than the
    // straightforward step can afford, many samples each: along the lobes'
    // axis (one lobe behind the other) and from anywhere.
    if (best_simd_level() == simd_level::scalar) GTEST_SKIP() << "this processor runs the scalar loops only";
    std::mt19937_64 rng(5);
    fast_visibility_scratch scratch;
    int64_t compared = 0;
    for (int n = 1; n <= 5; ++n) {
        const mesh base = twin(n);
        const int shapes = n <= 3 ? 10 : (n == 4 ? 4 : 2);
        for (int k = 0; k < shapes; ++k) {
            double p[7];
            random_params(rng, p);
            const shape s = deformed(base, p);
            for (int g = 0; g < (n <= 4 ? 12 : 6); ++g) {
                const vec3 e = g % 2 ? random_direction(rng) : vec3{1.0, 0.03 * g, 0.02};
                const vec3 sun = g % 2 ? random_direction(rng) : vec3{0.98, -0.2, 0.01 * g};
                mat3 r, ef, sf;
                comp_view_matrices(r, ef, sf, e, sun, -pi / 2, pi / 2, g % 2 ? 0.9 * g : 0.0);
                std::vector<uint8_t> scalar, vector;
                {
                    const simd_choice use(simd_level::scalar);
                    scalar = fast_bytes(s, scratch, r, ef, sf, e, sun);
                }
                {
                    const simd_choice use(best_simd_level());
                    vector = fast_bytes(s, scratch, r, ef, sf, e, sun);
                }
                ASSERT_EQ(vector, scalar) << "n = " << n << ", shape " << k << ", geometry " << g;
                compared += s.count();
            }
        }
    }
    EXPECT_GT(compared, 1000000);
}

TEST(FastVisibility, AConvexLobeNeverCoversItsOwnFacets)
{
    // The property the fast step relies on, checked with the straightforward
    // covering test on single lobes of 1 to 6 subdivisions, scaled as the
    // grid scales them, from many directions. (On finer meshes the next
    // tests hold the step to a search of every facet.)
    std::mt19937_64 rng(7);
    for (int n = 1; n <= 6; ++n) {
        mesh sphere;
        make_icosahedron(sphere);
        for (int i = 0; i < n; ++i) subdivide_mesh(sphere);
        const int scalings = n <= 3 ? 8 : (n <= 5 ? 2 : 1);
        for (int k = 0; k < scalings; ++k) {
            double p[7];
            random_params(rng, p);
            if (k == 0) p[3] = 0.1, p[4] = 0.05, p[5] = 0.025;  // the thinnest lobe of the grid
            shape s;
            s.f = sphere.facets;
            s.v = sphere.vertices;
            for (vec3& v : s.v) v = {v.x * p[3], v.y * p[4], v.z * p[5]};
            s.split = s.count();
            complete(s);
            std::vector<proj_facet> records(static_cast<std::size_t>(s.count()));
            for (int g = 0; g < (n <= 3 ? 20 : (n <= 5 ? 4 : 2)); ++g) {
                const vec3 d = random_direction(rng);
                mat3 r, ef, sf;
                comp_view_matrices(r, ef, sf, d, d, 0.3 * g, 0.1 * g - 1.0, 0.7 * g);
                std::vector<uint8_t> bytes(static_cast<std::size_t>(s.count()), 255);
                const int facing = project_facets(ef, s.v.data(), s.f.data(), s.c.data(), records.data(), s.n.data(),
                                                  s.count(), bytes.data(), body_direction(r, d));
                // Every facing record keeps its byte: give them all 1 first,
                // so that even a truncated illumination would be tested.
                for (int i = 0; i < facing; ++i)
                    bytes[static_cast<std::size_t>(records[static_cast<std::size_t>(i)].index)] = 1;
                EXPECT_EQ(comp_occlusion(facing, records.data(), bytes.data()), facing) << "n = " << n;
            }
        }
    }
}

TEST(FastVisibility, EdgeOnFacetsAreSearchedWithinTheirOwnLobe)
{
    // Lobes that are not convex: the first sphere cut in two, the second
    // part joined to the other sphere. Taking every facing facet as
    // edge-on, the step searches each lobe within itself as well and must
    // give the reference's bytes; with none edge-on it misses the covering
    // inside the joined lobe.
    std::mt19937_64 rng(31);
    const mesh base = twin(2);
    fast_visibility_scratch scratch;
    body_columns columns;
    int missed_without = 0;
    for (int k = 0; k < 6; ++k) {
        double p[7];
        random_params(rng, p);
        shape s = deformed(base, p);
        s.split = s.count() / 4;
        complete(s);
        for (int g = 0; g < 6; ++g) {
            const vec3 e = random_direction(rng), sun = random_direction(rng);
            mat3 r, ef, sf;
            comp_view_matrices(r, ef, sf, e, sun, 0.4 * g, 0.2 * g - 0.5, 1.1 * g);
            const auto expected = reference_bytes(s, r, ef, sf, e, sun);
            const visibility_body body = body_of(s);
            const visibility_view view{ef, sf, body_direction(r, e), body_direction(r, sun)};
            lay_out_body(body, columns);
            columns.edge_cosine = 0.0;
            ASSERT_TRUE(fast_visibility(scratch, body, columns, view));
            missed_without += scratch.bytes != expected;
            columns.edge_cosine = 2.0;
            for (simd_level level : levels()) {
                const simd_choice use(level);
                ASSERT_TRUE(fast_visibility(scratch, body, columns, view));
                EXPECT_EQ(scratch.bytes, expected) << simd_name(level) << ", shape " << k << ", geometry " << g;
            }
        }
    }
    EXPECT_GT(missed_without, 0);  // the cut lobes do cover themselves
}

TEST(FastVisibility, FewFacetsOfTheSweepsShapesAreEdgeOn)
{
    // The own-lobe search stays rare: the edge-on cosine of the grid's
    // shapes is tiny at every subdivision the sweep is likely to use.
    std::mt19937_64 rng(3);
    body_columns columns;
    for (int n = 1; n <= 6; ++n) {
        const mesh base = twin(n);
        for (int k = 0; k < 3; ++k) {
            double p[7];
            random_params(rng, p);
            if (k == 0) p[1] = 0.5, p[2] = 0.25, p[3] = 0.1, p[4] = 0.05, p[5] = 0.025, p[6] = 1.1;
            const shape s = deformed(base, p);
            lay_out_body(body_of(s), columns);
            EXPECT_GT(columns.edge_cosine, 0.0) << "n = " << n;
            EXPECT_LT(columns.edge_cosine, 1e-6) << "n = " << n << ", shape " << k;
        }
    }
}

TEST(FastVisibility, TrustingTheLobesLosesNothingOnASevenTimesSubdividedTwin)
{
    // The sweep's whole per-shape step (prepare, lobes taken as convex,
    // visibility) on a twin of 655,360 facets, with the lobes pushed into
    // each other, against the fast step searching every facet (which the
    // tests above hold to the reference; the reference itself would take
    // minutes a sample on this mesh).
    const int n = 7;
    const mesh base = twin(n);
    const double p[7] = {1.0, 0.9, 0.6, 0.8, 0.6, 0.4, 0.3};
    std::vector<vec3> vertices;
    deform_vertices(base.vertices, p, vertices);
    std::mt19937_64 rng(99);
    constexpr int samples = 4;
    std::vector<vec3> earth, sun;
    std::vector<sample_view> views;
    for (int i = 0; i < samples; ++i) {
        // Half of them seen and lit along the lobes' axis, where one lobe
        // hides most of the other.
        earth.push_back(i % 2 ? random_direction(rng) : vec3{1.0, 0.02 * i, 0.01});
        sun.push_back(i % 2 ? random_direction(rng) : vec3{-1.0, 0.01, 0.02 * i});
        sample_view v;
        comp_view_matrices(v.body_rot, v.seen.earth_frame, v.seen.sun_frame, earth.back(), sun.back(),
                           -std::numbers::pi / 2, std::numbers::pi / 2, i % 2 ? 1.3 * i : 0.0);
        v.seen.earth_dir = body_direction(v.body_rot, earth.back());
        v.seen.sun_dir = body_direction(v.body_rot, sun.back());
        views.push_back(v);
    }
    shape_job job{};
    job.vertex_count = static_cast<int32_t>(vertices.size());
    job.vertices = vertices.data();
    for (int i = 0; i < 7; ++i) job.shape_params[i] = p[i];
    job.facet_count = base.facet_count;
    job.facets = base.facets.data();
    job.sample_count = samples;
    job.earth_dirs = earth.data();
    job.sun_dirs = sun.data();
    std::vector<uint8_t> log;
    shape_scratch scratch;
    scratch.visibility_log = &log;
    null_front_end ui;
    shape_outcome outcome;
    ASSERT_TRUE(fast_shape_brightness(job, views.data(), scratch, &ui, outcome, {})) << outcome.failure;

    shape whole = deformed(base, p);  // the same offset body, built apart from the sweep
    whole.split = 0;
    const std::size_t facets = static_cast<std::size_t>(whole.count());
    ASSERT_EQ(log.size(), samples * facets);
    fast_visibility_scratch own;
    int64_t lit = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        const sample_view& v = views[i];
        ASSERT_TRUE(fast_visibility(own, body_of(whole), v.seen));
        const std::vector<uint8_t> expected(own.bytes.begin(), own.bytes.begin() + static_cast<std::ptrdiff_t>(facets));
        const std::vector<uint8_t> got(log.begin() + static_cast<std::ptrdiff_t>(i * facets),
                                       log.begin() + static_cast<std::ptrdiff_t>((i + 1) * facets));
        EXPECT_TRUE(got == expected) << "n = " << n << ", sample " << i;
        for (uint8_t b : got) lit += b != 0;
    }
    EXPECT_GT(lit, 0);  // not a dark body throughout
}

TEST(FastVisibility, TiesOnEdgesBoxesAndDepthsAsTheReference)
{
    // Two single-facet "lobes" facing +z, seen and lit from +z. Facet 0 has
    // its centre at the origin; facet 1 is placed so that the origin falls
    // strictly inside it, on its edge, on its box, or at its very depth.
    struct placement {
        const char* name;
        vec3 a, b, c;  // facet 1's corners
        bool covered;  // whether facet 0 ends dark
    };
    const double z = 1.0;
    const placement cases[] = {
        {"strictly inside, nearer", {-1, -1, z}, {2, -1, z}, {-1, 2, z}, true},
        {"strictly inside, farther", {-1, -1, -z}, {2, -1, -z}, {-1, 2, -z}, false},
        {"centre on an edge", {-1, 0, z}, {2, 0, z}, {-1, 2, z}, false},
        {"centre on the box only", {0, -1, z}, {2, -1, z}, {2, 2, z}, false},
        {"equal depth, higher index covers", {-1, -1, 0}, {2, -1, 0}, {-1, 2, 0}, true},
    };
    for (const placement& pc : cases) {
        shape s;
        // Facet 0: corners around the origin, centre exactly (0, 0, 0).
        s.v = {{-0.3, -0.3, 0}, {0.6, -0.3, 0}, {-0.3, 0.6, 0}, pc.a, pc.b, pc.c};
        s.f = {{1, 2, 3}, {4, 5, 6}};
        s.split = 1;
        complete(s);
        EXPECT_EQ(s.c[0].x, 0.0);
        EXPECT_EQ(s.c[0].y, 0.0);
        const vec3 up{0, 0, 1};
        mat3 r, ef, sf;
        comp_view_matrices(r, ef, sf, up, up, -pi / 2, pi / 2, 0);  // body frame = ecliptic frame
        fast_visibility_scratch scratch;
        const auto expected = reference_bytes(s, r, ef, sf, up, up);
        const auto got = fast_bytes(s, scratch, r, ef, sf, up, up);
        EXPECT_EQ(got, expected) << pc.name;
        EXPECT_EQ(got[0] == 0, pc.covered) << pc.name;
    }
}

TEST(FastVisibility, NoDirectionLightsNothing)
{
    const mesh base = twin(1);
    const double p[7] = {1, 1, 1, 1, 1, 1, 0.5};
    const shape s = deformed(base, p);
    mat3 r, ef, sf;
    const vec3 zero{0, 0, 0}, e{1, 0.2, 0.1};
    comp_view_matrices(r, ef, sf, e, zero, 0.1, 0.2, 0.3);
    fast_visibility_scratch scratch;
    const auto got = fast_bytes(s, scratch, r, ef, sf, e, zero);
    EXPECT_EQ(got, reference_bytes(s, r, ef, sf, e, zero));
    for (uint8_t b : got) EXPECT_EQ(b, 0);
}
