#include "sweep/shape_export.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <utility>
#include <vector>

#include "common/checked_file.hpp"
#include "mesh/lobe_union.hpp"
#include "mesh/surface_check.hpp"
#include "mesh/weld.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/shape_grid.hpp"

bool shape_parameters(double step, int32_t shape, double params[param::count])
{
    if (!(step > 0.0) || shape < 1) return false;
    struct finder {
        int32_t wanted;
        double* out;
        int32_t seen = 0;
        bool enter(int, const double*) { return true; }
        bool leave(int) { return true; }
        bool shape(const double* p)
        {
            if (++seen < wanted) return true;
            std::copy(p, p + param::count, out);
            return false;
        }
    } find{shape, params};
    if (count_grid(step, shape - 1).too_large == false) return false;  // fewer shapes than asked
    walk_grid(step, find);
    return find.seen == shape;
}

bool parse_shape_format(const std::string& word, shape_format& format)
{
    if (word == "obj")
        format = shape_format::obj;
    else if (word == "damit")
        format = shape_format::damit;
    else
        return false;
    return true;
}

namespace {

// The shape of `params` as the sweep evaluates it: both lobes moved apart.
bool evaluated_shape(const mesh& base, const double params[param::count], prepared_shape& shape, std::string& why)
{
    std::vector<vec3> deformed;
    deform_vertices(base.vertices, params, deformed);
    // The shape alone: no samples, no spin.
    const shape_job job = one_shape_job(base, deformed, params, {}, {});
    shape_outcome outcome;
    if (!prepare_shape(job, shape, nullptr, outcome)) {
        why = outcome.failure;
        return false;
    }
    return true;
}

// The union of the welded lobes (lobe 1's facets first), checked.
bool checked_union(const welded_mesh& lobes, int32_t first_facets, welded_mesh& out, double& volume, std::string& why)
{
    if (!unite_lobes(lobes, first_facets, out, why)) return false;
    const surface_report report = check_surface(out);
    if (!one_outward_surface(report, why)) {
        why = "the union of the lobes is refused: " + why;
        return false;
    }
    volume = report.volume;
    return true;
}

}  // namespace

bool build_export_mesh(const mesh& base, const double params[param::count], const shape_export_options& how,
                       export_mesh& out, std::string& why)
{
    if (!(how.diameter_km >= 0.0) || !std::isfinite(how.diameter_km)) {
        why = "the diameter must be a positive number of km";
        return false;
    }
    prepared_shape shape;
    if (!evaluated_shape(base, params, shape, why)) return false;
    welded_mesh lobes = weld_vertices(shape.vertices.data(), base.vertex_count, base.vertex_count / 2,
                                      base.facets.data(), 2 * base.facet_count);
    out = export_mesh{};
    if (how.lobe_union || how.diameter_km > 0.0) {
        // The lobes' records welded as one part: where the two lobes' vertices
        // differ only by the rounding of their opposite x shifts (the same
        // sphere moved by +1 - h and -1 + h) they become the same point, so
        // the exact union sees the coincident facets they are rather than
        // slivers a few ulps wide that would not survive rounding to doubles.
        const welded_mesh snapped = weld_vertices(shape.vertices.data(), base.vertex_count, base.vertex_count,
                                                  base.facets.data(), 2 * base.facet_count);
        welded_mesh joined;
        if (!checked_union(snapped, base.facet_count, joined, out.union_volume, why)) return false;
        if (how.lobe_union) lobes = std::move(joined);
    }
    out.surface = std::move(lobes);
    if (how.diameter_km > 0.0) {
        // The diameter of the sphere of the union's volume, in the model's units.
        const double equivalent = std::cbrt(6.0 * out.union_volume / std::numbers::pi);
        out.scale = how.diameter_km / equivalent;
        for (vec3& p : out.surface.vertices) p = {p.x * out.scale, p.y * out.scale, p.z * out.scale};
    }
    return true;
}

bool write_export_mesh(const export_mesh& m, const double params[param::count], const shape_export_options& how,
                       const std::string& path, std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        if (how.format == shape_format::damit) {
            // DAMIT's files carry no comments. Every coordinate reads back as
            // the same double, so the file holds the surface that was checked.
            out.printf("%zu %zu\n", m.surface.vertices.size(), m.surface.facets.size());
            for (const vec3& p : m.surface.vertices) out.printf("%.17g %.17g %.17g\n", p.x, p.y, p.z);
            for (const facet& t : m.surface.facets) out.printf("%i %i %i\n", t.a, t.b, t.c);
        } else {
            out.printf("# morvane shape: y_scale_1 %g z_scale_1 %g x_scale_2 %g y_scale_2 %g z_scale_2 %g x_shift %g\n",
                       params[1], params[2], params[3], params[4], params[5], params[6]);
            if (how.lobe_union) out.printf("# the union of the lobes: one closed surface\n");
            if (how.diameter_km > 0.0)
                out.printf("# in km: volume-equivalent diameter %.17g km (the model scaled by %.17g)\n",
                           how.diameter_km, m.scale);
            for (const vec3& p : m.surface.vertices) out.printf("v %.17g %.17g %.17g\n", p.x, p.y, p.z);
            for (const facet& t : m.surface.facets) out.printf("f %i %i %i\n", t.a, t.b, t.c);
        }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool write_shape_obj(const mesh& base, const double params[param::count], const std::string& path, std::string& why)
{
    const shape_export_options how;
    export_mesh m;
    return build_export_mesh(base, params, how, m, why) && write_export_mesh(m, params, how, path, why);
}
