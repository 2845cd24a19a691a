#include "runs/spin_results.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <map>
#include <tuple>

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
    // The header names the search: "spins" and 16 hexadecimal digits.
    const std::size_t end = text.find('\n');
    uint64_t key = 0;
    if (end != 22 || text.compare(0, 6, "spins ") != 0 || std::sscanf(text.c_str() + 6, "%16" SCNx64, &key) != 1) {
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
