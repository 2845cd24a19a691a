#include "workflow/spin_step.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/checked_file.hpp"
#include "runs/run_manifest.hpp"

namespace {

// The time span of the loaded points, days.
double span_days(const ref_curve& points)
{
    if (points.times.empty()) return 0.0;
    const auto [lo, hi] = std::minmax_element(points.times.begin(), points.times.end());
    return *hi - *lo;
}

// An evaluator of the loaded points at n subdivisions, or null with `why`.
std::shared_ptr<const chi2_evaluator> evaluator_at(const app_state& app, int n, std::string& why)
{
    auto ev = std::make_shared<chi2_evaluator>();
    if (!app.reference || !ev->prepare(*app.reference, n, why)) {
        if (why.empty()) why = "no observations loaded";
        return nullptr;
    }
    return ev;
}

// Writes the finest level's spins, best first, to `path`.
bool write_spins(const std::string& path, const spin_level_result& level, std::string& why)
{
    checked_file out;
    if (!out.open(path)) {
        why = out.error();
        return false;
    }
    out.printf("# lambda_deg beta_deg period_h phi0_deg chi2 reduced_chi2 y_scale_1 z_scale_1 x_scale_2 y_scale_2 "
               "z_scale_2 x_shift\n");
    for (const spin_fit& s : level.spins) {
        out.printf("%.6f %.6f %.9f %.6f %.10g %.6g", s.at.lambda_deg, s.at.beta_deg, s.x[model_param::period_h],
                   s.x[model_param::phi0_deg], s.chi2, s.reduced_chi2);
        for (int p = 0; p < model_param::shape_count; ++p) out.printf(" %.6f", s.x[p]);
        out.printf("\n");
    }
    if (!out.close()) {
        why = out.error();
        out.discard();
        return false;
    }
    return true;
}

// Writes the five words as a spin file.
bool write_spin_file(const std::string& path, const std::string words[5], std::string& why)
{
    checked_file out;
    if (!out.open(path)) {
        why = out.error();
        return false;
    }
    out.printf("%s %s %s\n%s %s\n", words[0].c_str(), words[1].c_str(), words[2].c_str(), words[3].c_str(),
               words[4].c_str());
    if (!out.close()) {
        why = out.error();
        out.discard();
        return false;
    }
    return true;
}

// "%.<digits>f" of v.
std::string fixed(double v, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

}  // namespace

bool search_periods(const app_state& app, const spin_search_settings& s, std::vector<double>& periods, std::string& why)
{
    if (!s.periods_given) {
        periods = {app.spin.period_hours};
        return true;
    }
    return period_list(s.periods, app.reference ? span_days(*app.reference) : 0.0, periods, why);
}

bool search_and_write_spins(app_state& app, const spin_search_settings& s, const std::vector<double>& periods,
                            spin_search_result& out, std::string& why)
{
    const auto coarse = evaluator_at(app, s.scan_subdivisions, why);
    if (!coarse) return false;
    const auto fine = s.scan_subdivisions == app.subdivisions ? coarse : evaluator_at(app, app.subdivisions, why);
    if (!fine) return false;
    spin_search_request request;
    request.nside = s.nside;
    request.levels = s.levels;
    request.periods = periods;
    request.coarse = s.coarse;
    request.fine = s.fine;
    request.threads = app.thread_count;
    request.stop = stop_request{&app.cancel, nullptr};
    if (!search_spins(coarse, s.scan_subdivisions, fine, app.subdivisions, app.spin.t0, request, out, why))
        return false;
    std::error_code made;
    std::filesystem::create_directories("output", made);
    if (made) {
        why = "cannot make the folder output: " + made.message();
        return false;
    }
    std::string words[5];
    best_spin_words(out, app.spin.t0, words);
    return write_spins("output/spins.txt", out.levels.back(), why) && write_spin_file("output/spin.txt", words, why);
}

void best_spin_words(const spin_search_result& r, double t0, std::string words[5])
{
    const spin_fit& best = r.best();
    words[0] = fixed(best.at.lambda_deg, 6);
    words[1] = fixed(best.at.beta_deg, 6);
    words[2] = fixed(best.x[model_param::period_h], 9);
    words[3] = fixed(t0, 6);
    words[4] = fixed(best.x[model_param::phi0_deg], 6);
}

bool record_spin_search(const spin_search_settings& s, const std::vector<double>& periods, const spin_search_result& r,
                        std::string& why)
{
    run_manifest m;
    if (!read_manifest(manifest_file, m, why)) return false;
    spin_search_record& rec = m.spin_search;
    rec.nside = s.nside;
    rec.levels = static_cast<int32_t>(r.levels.size());
    rec.scan_subdivisions = s.scan_subdivisions;
    rec.period_first_h = periods.front();
    rec.period_last_h = periods.back();
    rec.periods = static_cast<int32_t>(periods.size());
    rec.spins = 0;
    rec.seconds = 0.0;
    for (const spin_level_result& level : r.levels) {
        rec.spins += static_cast<int64_t>(level.spins.size());
        rec.seconds += level.seconds;
    }
    const spin_fit& best = r.best();
    rec.lambda_deg = best.at.lambda_deg;
    rec.beta_deg = best.at.beta_deg;
    rec.period_h = best.x[model_param::period_h];
    rec.phi0_deg = best.x[model_param::phi0_deg];
    rec.best_chi2 = best.chi2;
    rec.reduced_chi2 = best.reduced_chi2;
    return write_manifest(manifest_file, m, why);
}
