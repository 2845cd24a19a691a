// One lightcurve sample of the photometric model on the twin-sphere base
// shape, and the covering test alone, to show its share of a sample.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "mesh/geosphere.hpp"
#include "mesh/twin_shape.hpp"
#include "photometry/brightness.hpp"
#include "photometry/facet_geometry.hpp"
#include "photometry/fast_visibility.hpp"
#include "photometry/view_geometry.hpp"
#include "photometry/visibility.hpp"

namespace {

constexpr int rotations = 8;  // rotation angles cycled through, to average over the spin

// Earth and sun about 20 degrees apart; an arbitrary pole.
const vec3 earth{1.0, 0.0, 0.1};
const vec3 sun{0.9396926207859084, 0.3420201433256687, 0.1};
constexpr double lambda = 1.2;
constexpr double beta = 0.5;

double rotation(int k)
{
    return 0.3 + k * (6.283185307179586 / rotations);
}

struct base_shape {
    mesh twin;
    std::vector<facet_normal> normals;
    std::vector<vec3> centres;
    int32_t count() const { return static_cast<int32_t>(twin.facets.size()); }
};

base_shape make_base(int subdivisions)
{
    base_shape b;
    mesh sphere;
    if (!make_icosahedron(sphere)) std::abort();
    for (int i = 0; i < subdivisions; ++i)
        if (!subdivide_mesh(sphere)) std::abort();
    if (!make_twin_shape(sphere, b.twin)) std::abort();
    if (!comp_normal(b.count(), b.twin.vertices.data(), b.twin.facets.data(), b.normals)) std::abort();
    if (!comp_facet_center(b.count(), b.twin.vertices.data(), b.twin.facets.data(), b.centres)) std::abort();
    return b;
}

void photometry_sample(benchmark::State& state)
{
    const base_shape b = make_base(static_cast<int>(state.range(0)));
    std::vector<uint8_t> bytes;
    std::vector<proj_facet> records;
    const photo_params params;
    int k = 0;
    for (auto _ : state) {
        mat3 body_rot, earth_frame, sun_frame;
        comp_view_matrices(body_rot, earth_frame, sun_frame, earth, sun, lambda, beta, rotation(k));
        comp_visibility(bytes, records, b.twin.vertices.data(), b.twin.facets.data(), b.centres.data(),
                        b.normals.data(), b.count(), body_rot, earth_frame, sun_frame, earth, sun);
        double cos_phase, seen_area;
        benchmark::DoNotOptimize(comp_brightness(b.normals.data(), body_rot, b.count(), cos_phase, seen_area,
                                                 bytes.data(), earth, sun, params));
        k = (k + 1) % rotations;
    }
    state.counters["facets"] = b.count();
}

// The same sample by the fast visibility step, on shared view matrices.
void fast_photometry_sample(benchmark::State& state)
{
    const base_shape b = make_base(static_cast<int>(state.range(0)));
    visibility_body body;
    body.vertices = b.twin.vertices.data();
    body.vertex_count = b.twin.vertex_count;
    body.facets = b.twin.facets.data();
    body.centres = b.centres.data();
    body.normals = b.normals.data();
    body.facet_count = b.count();
    body.lobe_split = b.twin.facet_count;
    body.reach[0] = facet_reach(b.twin.vertices.data(), b.twin.facets.data(), b.centres.data(), 0, b.twin.facet_count);
    body.reach[1] =
        facet_reach(b.twin.vertices.data(), b.twin.facets.data(), b.centres.data(), b.twin.facet_count, b.count());
    fast_visibility_scratch scratch;
    const photo_params params;
    int k = 0;
    for (auto _ : state) {
        mat3 body_rot, earth_frame, sun_frame;
        comp_view_matrices(body_rot, earth_frame, sun_frame, earth, sun, lambda, beta, rotation(k));
        fast_visibility(scratch, body,
                        {earth_frame, sun_frame, body_direction(body_rot, earth), body_direction(body_rot, sun)});
        double cos_phase, seen_area;
        benchmark::DoNotOptimize(comp_brightness(b.normals.data(), body_rot, b.count(), cos_phase, seen_area,
                                                 scratch.bytes.data(), earth, sun, params));
        k = (k + 1) % rotations;
    }
    state.counters["facets"] = b.count();
}

// The records and bytes each covering test of a sample starts from.
struct covering_input {
    std::vector<proj_facet> records;
    int32_t n;
    std::vector<uint8_t> bytes;
};

void covering_test(benchmark::State& state)
{
    const base_shape b = make_base(static_cast<int>(state.range(0)));
    const int32_t count = b.count();
    std::vector<covering_input> inputs;  // sun pass, earth pass, per rotation
    for (int k = 0; k < rotations; ++k) {
        mat3 body_rot, earth_frame, sun_frame;
        comp_view_matrices(body_rot, earth_frame, sun_frame, earth, sun, lambda, beta, rotation(k));
        std::vector<uint8_t> bytes(count, 255);
        for (const auto& [frame, dir] : {std::pair{sun_frame, sun}, std::pair{earth_frame, earth}}) {
            covering_input in{std::vector<proj_facet>(count), 0, {}};
            in.n =
                project_facets(frame, b.twin.vertices.data(), b.twin.facets.data(), b.centres.data(), in.records.data(),
                               b.normals.data(), count, bytes.data(), body_direction(body_rot, dir));
            in.bytes = bytes;
            comp_occlusion(in.n, in.records.data(), bytes.data());
            inputs.push_back(std::move(in));
        }
    }
    std::vector<uint8_t> bytes(count);
    std::size_t i = 0;
    for (auto _ : state) {
        // Both passes of one sample; the byte copies cost well under 1%.
        for (int pass = 0; pass < 2; ++pass, ++i) {
            const covering_input& in = inputs[i % inputs.size()];
            bytes = in.bytes;
            benchmark::DoNotOptimize(comp_occlusion(in.n, in.records.data(), bytes.data()));
        }
    }
    state.counters["facets"] = count;
}

}  // namespace

BENCHMARK(photometry_sample)->Arg(3)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(covering_test)->Arg(3)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(fast_photometry_sample)->Arg(3)->Arg(4)->Unit(benchmark::kMicrosecond);
