#include "mesh/geosphere.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "common/handles.hpp"

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double two_pi_fifth = 1.2566370614359172;
constexpr double pi_fifth = 0.6283185307179586;

// Component-wise negation; zeros become negative zeros.
vec3 negated(const vec3& v)
{
    return {-v.x, -v.y, -v.z};
}

// (p + q) divided component-wise by its Euclidean length.
vec3 unit_midpoint(const vec3& p, const vec3& q)
{
    vec3 s{p.x + q.x, p.y + q.y, p.z + q.z};
    double length = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
    return {s.x / length, s.y / length, s.z / length};
}

}  // namespace

int make_icosahedron(mesh& m)
{
    const double h = std::sqrt(5.0) / 5.0;
    const double r = 0.4 * std::sqrt(5.0);
    std::vector<vec3> vertices;
    std::vector<facet> facets;
    // Room for the whole seed first, so that filling it allocates nothing.
    if (!obtain_array(vertices, [](std::vector<vec3>& v) { v.reserve(40); }) ||
        !obtain_array(facets, [](std::vector<facet>& f) { f.reserve(20); }))
        return 0;
    // The sector angle is advanced by repeated addition; the fifth sum is
    // exactly 2 pi, so there are exactly five sectors.
    for (double theta = 0.0; theta < two_pi; theta += two_pi_fifth) {
        const int32_t b = static_cast<int32_t>(vertices.size());
        const double next = theta + two_pi_fifth;
        const double middle = theta + pi_fifth;
        const vec3 upper{r * std::cos(theta), r * std::sin(theta), h};
        const vec3 upper_next{r * std::cos(next), r * std::sin(next), h};
        const vec3 north{0.0, 0.0, 1.0};
        const vec3 lower{r * std::cos(middle), r * std::sin(middle), -h};
        vertices.insert(vertices.end(), {upper, upper_next, north, lower, negated(upper), negated(upper_next),
                                         negated(north), negated(lower)});
        facets.push_back({b + 1, b + 2, b + 3});
        facets.push_back({b + 1, b + 4, b + 2});
        facets.push_back({b + 6, b + 5, b + 7});
        facets.push_back({b + 8, b + 5, b + 6});
    }
    m.vertices.swap(vertices);
    m.facets.swap(facets);
    m.vertex_count = static_cast<int32_t>(m.vertices.size());
    m.facet_count = static_cast<int32_t>(m.facets.size());
    return 1;
}

int subdivide_mesh(mesh& m)
{
    if (m.vertices.empty()) return 0;
    const int64_t old_facets = m.facet_count;
    if (old_facets * 6 > std::numeric_limits<int32_t>::max()) return 0;
    std::vector<vec3> vertices;
    std::vector<facet> facets;
    if (!replace_array(vertices, static_cast<std::size_t>(old_facets * 6)) ||
        !replace_array(facets, static_cast<std::size_t>(old_facets * 4)))
        return 0;
    const vec3* old = m.vertices.data();
    for (int64_t i = 0; i < old_facets; ++i) {
        const facet& f = m.facets[static_cast<std::size_t>(i)];
        const vec3& pa = old[f.a - 1];
        const vec3& pb = old[f.b - 1];
        const vec3& pc = old[f.c - 1];
        vec3* out = &vertices[static_cast<std::size_t>(6 * i)];
        out[0] = pa;
        out[1] = pb;
        out[2] = pc;
        out[3] = unit_midpoint(pa, pb);
        out[4] = unit_midpoint(pb, pc);
        out[5] = unit_midpoint(pa, pc);
        const int32_t s = static_cast<int32_t>(6 * i);
        facet* quad = &facets[static_cast<std::size_t>(4 * i)];
        quad[0] = {s + 1, s + 4, s + 6};
        quad[1] = {s + 4, s + 2, s + 5};
        quad[2] = {s + 5, s + 3, s + 6};
        quad[3] = {s + 6, s + 4, s + 5};
    }
    m.vertices.swap(vertices);
    m.facets.swap(facets);
    m.vertex_count = static_cast<int32_t>(old_facets * 6);
    m.facet_count = static_cast<int32_t>(old_facets * 4);
    return 1;
}
