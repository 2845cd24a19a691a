#include "inversion/refine_files.hpp"

#include <cmath>

#include "common/checked_file.hpp"

namespace {

// Whether `space` refines the spin state too.
bool refines_spin(const model_space& space)
{
    return space.free[model_param::lambda_deg] || space.free[model_param::beta_deg] ||
           space.free[model_param::period_h];
}

// The parameters refined.txt lists: the shape and phi0, then the spin state when refined.
int listed_params(const model_space& space)
{
    return refines_spin(space) ? model_param::count : model_param::phi0_deg + 1;
}

// A JSON number: %.10g, or null when not finite.
void json_number(checked_file& out, double v)
{
    if (std::isfinite(v))
        out.printf("%.10g", v);
    else
        out.printf("null");
}

// `"key": number`, preceded by `separator`.
void json_field(checked_file& out, const char* separator, const char* key, double v)
{
    out.printf("%s\"%s\": ", separator, key);
    json_number(out, v);
}

}  // namespace

bool write_refined(const std::string& path, const model_space& space, const std::vector<refined>& solutions, double nu,
                   std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        const int listed = listed_params(space);
        out.printf("# start_shape");
        for (int p = 0; p < listed; ++p) out.printf(" %s", model_param_name(p));
        out.printf(" chi2 reduced_chi2 rms_mag evaluations\n");
        for (const refined& r : solutions) {
            out.printf("%d", r.start_shape);
            for (int p = 0; p < listed; ++p) out.printf(p == model_param::period_h ? " %.9f" : " %.6f", r.x[p]);
            out.printf(" %.10g %.6g %.6g %d\n", r.f.chi2, r.f.chi2 / nu, r.f.rms_mag, r.evaluations);
        }
        out.close();
    }
    why = out.error();
    return why.empty();
}

bool write_uncertainty(const std::string& path, const acceptable_set& set, const jackknife_result* jack,
                       std::string& why)
{
    checked_file out;
    if (out.open(path, checked_file::placement::replacing)) {
        out.printf("{\n");
        json_field(out, "  ", "chi2_min", set.accept.chi2_min);
        json_field(out, ",\n  ", "nu", set.accept.nu);
        json_field(out, ",\n  ", "threshold", set.accept.threshold);
        json_field(out, ",\n  ", "sigma_inflation", set.accept.sigma_inflation);
        out.printf(",\n  \"parameters\": {");
        const char* separator = "\n    ";
        for (int p : set.params) {
            const param_range& r = set.ranges[p];
            out.printf("%s\"%s\": {", separator, model_param_name(p));
            json_field(out, "", "best", r.best);
            json_field(out, ", ", "min", r.min);
            json_field(out, ", ", "max", r.max);
            out.printf("}");
            separator = ",\n    ";
        }
        out.printf("\n  },\n  \"jackknife\": ");
        if (jack) {
            out.printf("{\n    \"blocks\": %d", jack->blocks);
            for (int p : jack->params) {
                const jackknife_spread& s = jack->spread[p];
                out.printf(",\n    \"%s\": {", model_param_name(p));
                json_field(out, "", "spread", s.spread);
                json_field(out, ", ", "min", s.min);
                json_field(out, ", ", "max", s.max);
                out.printf("}");
            }
            out.printf("\n  }");
        } else {
            out.printf("null");
        }
        out.printf(",\n  \"at_bound\": [");
        for (std::size_t i = 0; i < set.at_bound.size(); ++i)
            out.printf("%s\"%s\"", i ? ", " : "", model_param_name(set.at_bound[i]));
        out.printf("]\n}\n");
        out.close();
    }
    why = out.error();
    return why.empty();
}
