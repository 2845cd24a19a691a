#include "inversion/period_scan.hpp"

#include <cmath>
#include <cstdlib>

namespace {

// A positive finite number spelt whole by `text`, or false.
bool positive_number(const std::string& text, double& out)
{
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out) && out > 0.0;
}

}  // namespace

bool parse_period_range(const std::string& text, period_range& out, std::string& why)
{
    why = "--periods takes P0:P1 or P0:P1:STEP in hours, 0 < P0 <= P1 and STEP > 0, not \"" + text + "\"";
    const std::size_t a = text.find(':');
    if (a == std::string::npos) return false;
    const std::size_t b = text.find(':', a + 1);
    period_range r;
    if (!positive_number(text.substr(0, a), r.first_h)) return false;
    if (!positive_number(text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1), r.last_h))
        return false;
    if (b != std::string::npos && !positive_number(text.substr(b + 1), r.step_h)) return false;
    if (r.last_h < r.first_h) return false;
    out = r;
    why.clear();
    return true;
}

double default_period_step(double period_h, double span_days)
{
    return period_drift_turns * period_h * period_h / (24.0 * span_days);
}

bool period_list(const period_range& r, double span_days, std::vector<double>& out, std::string& why)
{
    out.clear();
    if (r.last_h == r.first_h) {
        out.push_back(r.first_h);
        return true;
    }
    const double step = r.step_h > 0.0 ? r.step_h : default_period_step(r.first_h, std::max(span_days, 1e-6));
    const double count = std::floor((r.last_h - r.first_h) / step + 1e-6) + 1.0;
    if (!(count <= max_periods)) {
        why = "the period range would take " + std::to_string(static_cast<long long>(std::min(count, 1e18))) +
              " periods at a step of " + std::to_string(step) + " h; at most " + std::to_string(max_periods) +
              " (give a larger STEP or a narrower range)";
        return false;
    }
    for (int i = 0; i < static_cast<int>(count); ++i) out.push_back(r.first_h + i * step);
    return true;
}
