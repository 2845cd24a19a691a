#include "support/printed.hpp"

#include <cstdio>

namespace {

// The format with every %...f conversion turned into %lf, for sscanf; the
// count of conversions in `count`.
std::string scan_format(const std::string& format, int& count)
{
    std::string out;
    count = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        std::size_t j = i + 1;
        while (j < format.size() && std::string(" -+#0123456789.").find(format[j]) != std::string::npos) ++j;
        if (j < format.size() && format[j] == 'f') {
            out += "%lf";
            ++count;
        } else {
            out += format.substr(i, j - i + 1);  // %% and the like, as they are
        }
        i = j;
    }
    return out;
}

}  // namespace

bool printed_by(const std::string& text, const std::string& format, std::vector<double>* numbers)
{
    int count = 0;
    const std::string scan = scan_format(format, count);
    if (count < 1 || count > 4) return false;
    double v[4] = {0.0, 0.0, 0.0, 0.0};
    if (std::sscanf(text.c_str(), scan.c_str(), &v[0], &v[1], &v[2], &v[3]) != count) return false;
    char again[512];
    std::snprintf(again, sizeof again, format.c_str(), v[0], v[1], v[2], v[3]);
    if (numbers) numbers->assign(v, v + count);
    return text == again;
}
