#include "mesh/surface_check.hpp"

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

namespace {

// The representative of a facet's piece, halving the paths it walks.
int32_t piece_of(std::vector<int32_t>& parent, int32_t i)
{
    while (parent[static_cast<std::size_t>(i)] != i) {
        parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
        i = parent[static_cast<std::size_t>(i)];
    }
    return i;
}

// The pieces of the facets, joined through shared vertices.
int32_t count_components(const welded_mesh& m)
{
    const auto facets = static_cast<int32_t>(m.facets.size());
    std::vector<int32_t> parent(m.facets.size()), first(m.vertices.size() + 1, -1);
    std::iota(parent.begin(), parent.end(), 0);
    for (int32_t f = 0; f < facets; ++f) {
        const facet& t = m.facets[static_cast<std::size_t>(f)];
        for (int32_t v : {t.a, t.b, t.c}) {
            int32_t& seen = first[static_cast<std::size_t>(v)];
            if (seen < 0) {
                seen = f;
                continue;
            }
            const int32_t a = piece_of(parent, seen), b = piece_of(parent, f);
            if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
        }
    }
    int32_t pieces = 0;
    for (int32_t f = 0; f < facets; ++f) pieces += piece_of(parent, f) == f;
    return pieces;
}

// Whether the link of one vertex (the edges opposite it in its facets,
// direction ignored) is one cycle, or one path at a boundary: its facets
// form a single disc.
bool link_is_disc(std::vector<std::pair<int32_t, int32_t>>& edges)
{
    std::vector<int32_t> ends;
    for (auto [a, b] : edges) {
        ends.push_back(a);
        ends.push_back(b);
    }
    std::sort(ends.begin(), ends.end());
    int32_t loose = 0, start = ends.front();
    for (std::size_t i = 0; i < ends.size();) {
        std::size_t j = i;
        while (j < ends.size() && ends[j] == ends[i]) ++j;
        if (j - i > 2) return false;
        if (j - i == 1) {
            ++loose;
            start = ends[i];
        }
        i = j;
    }
    if (loose != 0 && loose != 2) return false;
    // Walk from `start` along unused edges; a disc uses every edge.
    std::vector<bool> used(edges.size(), false);
    std::size_t walked = 0;
    for (int32_t at = start;;) {
        std::size_t k = 0;
        while (k < edges.size() && (used[k] || (edges[k].first != at && edges[k].second != at))) ++k;
        if (k == edges.size()) break;
        used[k] = true;
        ++walked;
        at = edges[k].first == at ? edges[k].second : edges[k].first;
    }
    return walked == edges.size();
}

// Whether the facets round every vertex form a single disc.
bool vertices_are_discs(const welded_mesh& m)
{
    std::vector<std::vector<std::pair<int32_t, int32_t>>> link(m.vertices.size() + 1);
    for (const facet& t : m.facets) {
        link[static_cast<std::size_t>(t.a)].emplace_back(t.b, t.c);
        link[static_cast<std::size_t>(t.b)].emplace_back(t.c, t.a);
        link[static_cast<std::size_t>(t.c)].emplace_back(t.a, t.b);
    }
    for (auto& edges : link)
        if (!edges.empty() && !link_is_disc(edges)) return false;
    return true;
}

}  // namespace

double enclosed_volume(const welded_mesh& m)
{
    double six = 0.0;
    for (const facet& t : m.facets) {
        const vec3 &a = m.vertices[static_cast<std::size_t>(t.a - 1)],
                   &b = m.vertices[static_cast<std::size_t>(t.b - 1)],
                   &c = m.vertices[static_cast<std::size_t>(t.c - 1)];
        six += a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) + a.z * (b.x * c.y - b.y * c.x);
    }
    return six / 6.0;
}

surface_report check_surface(const welded_mesh& m)
{
    surface_report r;
    const auto vertices = static_cast<int32_t>(m.vertices.size());
    for (const facet& t : m.facets)
        for (int32_t v : {t.a, t.b, t.c})
            if (v < 1 || v > vertices || t.a == t.b || t.b == t.c || t.c == t.a) return r;
    // Each directed edge once; an edge's two directions side by side.
    std::vector<std::pair<int32_t, int32_t>> directed;
    directed.reserve(3 * m.facets.size());
    for (const facet& t : m.facets)
        for (auto e : {std::pair{t.a, t.b}, std::pair{t.b, t.c}, std::pair{t.c, t.a}}) directed.push_back(e);
    std::sort(directed.begin(), directed.end());
    r.closed = r.manifold = r.oriented = true;
    std::vector<std::pair<int32_t, int32_t>> undirected(directed.size());
    std::transform(directed.begin(), directed.end(), undirected.begin(), [](auto e) {
        return std::pair{std::min(e.first, e.second), std::max(e.first, e.second)};
    });
    std::sort(undirected.begin(), undirected.end());
    int64_t edges = 0;
    for (std::size_t i = 0; i < undirected.size();) {
        std::size_t j = i;
        while (j < undirected.size() && undirected[j] == undirected[i]) ++j;
        ++edges;
        if (j - i == 1) r.closed = false;
        if (j - i > 2) r.manifold = false;
        i = j;
    }
    // Two facets running along an edge the same way disagree.
    if (std::adjacent_find(directed.begin(), directed.end()) != directed.end()) r.oriented = false;
    if (r.manifold && !vertices_are_discs(m)) r.manifold = false;
    r.euler = vertices - edges + static_cast<int64_t>(m.facets.size());
    r.components = count_components(m);
    r.volume = enclosed_volume(m);
    return r;
}

bool one_outward_surface(const surface_report& r, std::string& why)
{
    if (!r.closed)
        why = "the surface is not closed (an edge borders one facet)";
    else if (!r.manifold)
        why = "the surface is not 2-manifold (an edge or a vertex joins more than one sheet)";
    else if (r.components != 1)
        why = "the surface has " + std::to_string(r.components) + " pieces, not one (lobes that do not meet)";
    else if (!r.oriented)
        why = "the facets are not consistently oriented";
    else if (r.euler != 2)
        why = "the surface's Euler characteristic is " + std::to_string(r.euler) + ", not 2";
    else if (!(r.volume > 0.0))
        why = "the facets face inward (the enclosed volume is not positive)";
    else
        return true;
    return false;
}
