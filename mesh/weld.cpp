#include "mesh/weld.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// The representative of a record, halving the paths it walks.
int32_t root_of(std::vector<int32_t>& parent, int32_t i)
{
    while (parent[static_cast<std::size_t>(i)] != i) {
        parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
        i = parent[static_cast<std::size_t>(i)];
    }
    return i;
}

// Joins the records of [begin, end) that lie within `tolerance` of each
// other, the smaller index becoming the representative.
void join_near(const vec3* v, int32_t begin, int32_t end, double tolerance, std::vector<int32_t>& parent)
{
    std::vector<int32_t> order(static_cast<std::size_t>(end - begin));
    std::iota(order.begin(), order.end(), begin);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return v[a].x < v[b].x; });
    for (std::size_t i = 0; i < order.size(); ++i) {
        const vec3& p = v[order[i]];
        for (std::size_t j = i + 1; j < order.size() && v[order[j]].x - p.x <= tolerance; ++j) {
            const vec3& q = v[order[j]];
            if (std::fabs(q.y - p.y) > tolerance || std::fabs(q.z - p.z) > tolerance) continue;
            const int32_t a = root_of(parent, order[i]), b = root_of(parent, order[j]);
            if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
        }
    }
}

}  // namespace

welded_mesh weld_vertices(const vec3* vertices, int32_t count, int32_t split, const facet* facets, int32_t facet_count,
                          double tolerance)
{
    std::vector<int32_t> parent(static_cast<std::size_t>(count));
    std::iota(parent.begin(), parent.end(), 0);
    join_near(vertices, 0, split, tolerance, parent);
    join_near(vertices, split, count, tolerance, parent);

    welded_mesh out;
    std::vector<int32_t> index(static_cast<std::size_t>(count), 0);  // 1-based welded index per record
    for (int32_t i = 0; i < count; ++i) {
        const int32_t r = root_of(parent, i);
        if (r == i) {
            out.vertices.push_back(vertices[i]);
            index[static_cast<std::size_t>(i)] = static_cast<int32_t>(out.vertices.size());
        } else {
            index[static_cast<std::size_t>(i)] = index[static_cast<std::size_t>(r)];
        }
    }
    out.facets.reserve(static_cast<std::size_t>(facet_count));
    for (int32_t f = 0; f < facet_count; ++f) {
        const facet& t = facets[f];
        out.facets.push_back({index[static_cast<std::size_t>(t.a - 1)], index[static_cast<std::size_t>(t.b - 1)],
                              index[static_cast<std::size_t>(t.c - 1)]});
    }
    return out;
}
