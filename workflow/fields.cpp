#include "workflow/fields.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/control_ids.hpp"

const std::vector<std::pair<int, std::string>>& default_field_texts()
{
    static const std::vector<std::pair<int, std::string>> defaults = {
        {ctl::subdivisions, "3"}, {ctl::threads, "1"}, {ctl::step_size, "1"}, {ctl::beta, "90"},
        {ctl::lambda, "90"},      {ctl::phi0, "90"},   {ctl::period, "21.9"}, {ctl::epoch, "0"},
        {ctl::path, "test.zel"},  {ctl::blocks, ""},   {ctl::fit, "range"},
    };
    return defaults;
}

std::string clipped_field(const std::string& text, int max)
{
    if (max <= 0) return "";
    return text.substr(0, static_cast<std::size_t>(max - 1));
}

bool parse_whole_number(const std::string& text, int& value)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == digits || i != text.size()) return false;
    errno = 0;
    long long parsed = std::strtoll(text.c_str() + start, nullptr, 10);
    if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parse_decimal(const std::string& text, double& value)
{
    if (text.empty()) return false;
    std::string limited = text.substr(0, 79);
    std::string rest(limited.size() + 1, '\0');
    double parsed = 0.0;
    int items = std::sscanf(limited.c_str(), "%lf%s", &parsed, rest.data());
    if (items != 1) return false;
    value = parsed;
    return true;
}

bool read_decimal_field(status_ops& ui, int id, double& value)
{
    return parse_decimal(ui.read_item_text(id, 80), value);
}
