#include "sweep/shape_export.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "common/checked_file.hpp"
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

bool write_shape_obj(const mesh& base, const double params[param::count], const std::string& path, std::string& why)
{
    std::vector<vec3> deformed;
    deform_vertices(base.vertices, params, deformed);
    // The shape alone: no samples, no spin.
    const shape_job job = one_shape_job(base, deformed, params, {}, {});
    prepared_shape shape;
    shape_outcome outcome;
    if (!prepare_shape(job, shape, nullptr, outcome)) {
        why = outcome.failure;
        return false;
    }
    const welded_mesh welded = weld_vertices(shape.vertices.data(), base.vertex_count, base.vertex_count / 2,
                                             base.facets.data(), 2 * base.facet_count);
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.buffer(1 << 16);
        out.printf("# morvane shape: y_scale_1 %g z_scale_1 %g x_scale_2 %g y_scale_2 %g z_scale_2 %g x_shift %g\n",
                   params[1], params[2], params[3], params[4], params[5], params[6]);
        for (const vec3& p : welded.vertices) out.printf("v %.17g %.17g %.17g\n", p.x, p.y, p.z);
        for (const facet& t : welded.facets) out.printf("f %i %i %i\n", t.a, t.b, t.c);
        out.close();
    }
    why = out.error();
    return why.empty();
}
