#include "runs/spin_results.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <map>
#include <tuple>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"
#include "inversion/spin_journal.hpp"

namespace {

// The numbers of a line, as many as it holds.
std::vector<double> numbers_of(const std::string& line, bool& clean)
{
    std::vector<double> out;
    std::istringstream words(line);
    std::string word;
    clean = true;
    while (words >> word) {
        char* end = nullptr;
        const double v = std::strtod(word.c_str(), &end);
        if (end != word.c_str() + word.size()) clean = false;
        out.push_back(v);
    }
    return out;
}

// "%.<digits>f" of v.
std::string fixed(double v, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

}  // namespace

bool read_spin_rows(const std::string& path, std::vector<spin_row>& rows, std::string& why)
{
    std::string text;
    if (!read_regular_file(path, text, why)) return false;
    rows.clear();
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        bool clean = false;
        const std::vector<double> v = numbers_of(line, clean);
        if (!clean || v.size() != 12) {
            why = path + ": line " + std::to_string(number) + " is not a spin's row of twelve numbers";
            return false;
        }
        spin_row r{v[0], v[1], v[2], v[3], v[4], v[5], {v[6], v[7], v[8], v[9], v[10], v[11]}};
        rows.push_back(r);
    }
    return true;
}

bool read_searched_spins(const std::string& path, std::vector<spin_fit>& spins, std::string& why)
{
    std::string text;
    if (!read_regular_file(path, text, why)) return false;
    uint64_t key = 0;
    if (!spin_journal_key(text, key)) {
        why = path + " is not a spin search's journal";
        return false;
    }
    std::map<std::tuple<int, int32_t, int64_t, int32_t>, spin_fit> unique;
    for (const spin_fit& s : parse_spin_journal(text, key))
        unique[{s.level, s.at.nside, s.at.pixel, s.period_index}] = s;
    spins.clear();
    for (const auto& [where, s] : unique) spins.push_back(s);
    return true;
}

bool write_spin_rows(const std::string& path, const spin_level_result& level, std::string& why)
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

void best_spin_words(const spin_search_result& r, double t0, std::string words[5])
{
    const spin_fit& best = r.best();
    words[0] = fixed(best.at.lambda_deg, 6);
    words[1] = fixed(best.at.beta_deg, 6);
    words[2] = fixed(best.x[model_param::period_h], 9);
    words[3] = fixed(t0, 6);
    words[4] = fixed(best.x[model_param::phi0_deg], 6);
}
