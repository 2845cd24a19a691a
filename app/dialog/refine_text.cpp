#include "app/dialog/refine_text.hpp"

#include <cstdarg>
#include <cstdio>

namespace {

// printf into a string of at most 500 characters.
[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...)
{
    char text[500];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

std::vector<std::string> refinement_lines(const refinement_result& r, bool spin)
{
    std::vector<std::string> lines;
    const refined& best = r.solutions.front();
    if (!r.has_jackknife) lines.push_back("jackknife skipped: the fit has only one block");
    for (int p : r.set.at_bound)
        lines.push_back(formatted("warning: %s is at the bound of the model space (%g to %g): its acceptable range "
                                  "may reach beyond it",
                                  model_param_name(p), r.space.lower[p], r.space.upper[p]));
    std::string head = formatted("refined best (from shape %d): y_scale_1 %.6f z_scale_1 %.6f x_scale_2 %.6f "
                                 "y_scale_2 %.6f z_scale_2 %.6f x_shift %.6f phi0 %.4f",
                                 best.start_shape, best.x[0], best.x[1], best.x[2], best.x[3], best.x[4], best.x[5],
                                 best.x[model_param::phi0_deg]);
    if (spin)
        head += formatted(" lambda %.4f beta %.4f period %.9f h", best.x[model_param::lambda_deg],
                          best.x[model_param::beta_deg], best.x[model_param::period_h]);
    lines.push_back(head);
    lines.push_back(formatted("reduced chi2 %.6g, rms %.6g mag; written to output/best.obj, output/refined.txt and "
                              "output/uncertainty.json",
                              best.f.chi2 / r.nu, best.f.rms_mag));
    lines.push_back(formatted("refinement %.1f s (%lld evaluations), ranges %.1f s (%d), jackknife %.1f s",
                              r.times.refine_s, static_cast<long long>(r.evaluations), r.times.ranges_s,
                              r.set.evaluations, r.times.jackknife_s));
    return lines;
}

std::string refinement_summary(const refinement_result& r)
{
    const refined& best = r.solutions.front();
    std::string text = formatted("refined best (from shape %d): reduced chi2 %.6g, rms %.6g mag", best.start_shape,
                                 best.f.chi2 / r.nu, best.f.rms_mag);
    for (std::size_t i = 0; i < r.set.at_bound.size(); ++i)
        text += std::string(i == 0 ? "; at a bound: " : ", ") + model_param_name(r.set.at_bound[i]);
    return text;
}
