#include "inversion/spin_journal.hpp"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace {

// The doubles a line holds after its five whole numbers, in order.
constexpr int doubles_per_line = 2 + model_param::count + 2;

// Pointers to a spin's doubles in line order.
std::vector<double*> doubles_of(spin_fit& s)
{
    std::vector<double*> d{&s.at.lambda_deg, &s.at.beta_deg};
    for (double& v : s.x) d.push_back(&v);
    d.push_back(&s.chi2);
    d.push_back(&s.reduced_chi2);
    return d;
}

// The next space-separated word of `line` from `at` on, or an empty one.
std::string_view next_word(std::string_view line, std::size_t& at)
{
    while (at < line.size() && line[at] == ' ') ++at;
    const std::size_t begin = at;
    while (at < line.size() && line[at] != ' ') ++at;
    return line.substr(begin, at - begin);
}

// A whole number spelt by `word`, within [lo, hi].
bool whole(std::string_view word, int64_t lo, int64_t hi, int64_t& out)
{
    if (word.empty() || word.size() > 19) return false;
    const std::string text(word);
    char* end = nullptr;
    out = std::strtoll(text.c_str(), &end, 10);
    return end == text.c_str() + text.size() && out >= lo && out <= hi;
}

// 64 bits given as 16 lower-case hexadecimal digits.
bool hex64(std::string_view word, uint64_t& out)
{
    if (word.size() != 16) return false;
    out = 0;
    for (char c : word) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
        if (digit < 0) return false;
        out = out << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

// A double given as the 16 hexadecimal digits of its bits.
bool bits(std::string_view word, double& out)
{
    uint64_t v = 0;
    if (!hex64(word, v)) return false;
    out = std::bit_cast<double>(v);
    return true;
}

}  // namespace

bool parse_spin_journal_line(std::string_view line, spin_fit& s)
{
    std::size_t at = 0;
    int64_t level, nside, pixel, period, evaluations;
    if (!whole(next_word(line, at), 0, 16, level) || !whole(next_word(line, at), 1, INT32_MAX, nside) ||
        !whole(next_word(line, at), 0, INT64_MAX / 4, pixel) || !whole(next_word(line, at), 0, INT32_MAX, period) ||
        !whole(next_word(line, at), 0, INT32_MAX, evaluations))
        return false;
    s = spin_fit{};
    s.level = static_cast<int>(level);
    s.at.nside = static_cast<int32_t>(nside);
    s.at.pixel = pixel;
    s.period_index = static_cast<int32_t>(period);
    s.evaluations = static_cast<int>(evaluations);
    for (double* d : doubles_of(s))
        if (!bits(next_word(line, at), *d)) return false;
    return next_word(line, at).empty();
}

std::string spin_journal_header(uint64_t key)
{
    char text[64];
    std::snprintf(text, sizeof text, "spins %016" PRIx64 "\n", key);
    return text;
}

bool spin_journal_key(std::string_view text, uint64_t& key)
{
    constexpr std::string_view head = "spins ";
    return text.size() >= head.size() + 17 && text.substr(0, head.size()) == head && text[head.size() + 16] == '\n' &&
           hex64(text.substr(head.size(), 16), key);
}

std::string spin_journal_line(const spin_fit& s)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d %d %lld %d %d", s.level, s.at.nside, static_cast<long long>(s.at.pixel),
                  s.period_index, s.evaluations);
    std::string line = text;
    spin_fit copy = s;
    for (double* d : doubles_of(copy)) {
        std::snprintf(text, sizeof text, " %016" PRIx64, std::bit_cast<uint64_t>(*d));
        line += text;
    }
    return line + "\n";
}

std::vector<spin_fit> parse_spin_journal(std::string_view text, uint64_t key)
{
    std::vector<spin_fit> spins;
    const std::string header = spin_journal_header(key);
    if (text.substr(0, header.size()) != header) return spins;
    std::size_t at = header.size();
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) break;  // torn: no newline yet
        spin_fit s;
        if (!parse_spin_journal_line(text.substr(at, end - at), s)) break;
        spins.push_back(s);
        at = end + 1;
    }
    static_assert(doubles_per_line == 14);
    return spins;
}
