#include "lightcurve/lc_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "common/input_file.hpp"

namespace {

// White space as the C locale's isspace sees it.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal point and number grammar of the "C" locale, whatever locale the
// front end has switched the process to.
locale_t c_numeric_locale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// An observation file read one whole line at a time, whatever the line's
// length. Knows the 1-based number of the line it last returned.
class line_file {
public:
    line_file() = default;
    line_file(const line_file&) = delete;
    line_file& operator=(const line_file&) = delete;
    ~line_file()
    {
        if (file_) std::fclose(file_);
        std::free(buf_);
    }

    // Opens `path`; only a regular file is accepted (a FIFO or a device is
    // refused at once). On failure `why` says why.
    bool open(const std::string& path, std::string& why)
    {
        file_ = open_regular_stream(path, why);
        if (!file_) return false;
        // A large buffer: observation files run to many megabytes.
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 18);
        return true;
    }

    // Reads the next line; false at the end of the file or on a read error.
    bool next()
    {
        ssize_t got = getline(&buf_, &cap_, file_);
        if (got < 0) return false;
        len_ = static_cast<std::size_t>(got);
        ++line_no_;
        return true;
    }

    bool read_error() const { return file_ && std::ferror(file_); }
    // The line, NUL-terminated; an embedded NUL ends it for every parser.
    const char* text() const { return buf_; }
    const char* end() const { return buf_ + len_; }
    long line_no() const { return line_no_; }

private:
    std::FILE* file_ = nullptr;
    char* buf_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t len_ = 0;
    long line_no_ = 0;
};

enum class int_scan { ok, none, out_of_range };

// The integer at the start of a line, as "%i" reads it: white space skipped,
// optional sign, 0x hexadecimal, leading 0 octal. The rest is ignored. A
// value outside the 32-bit range is refused rather than wrapped.
int_scan scan_leading_int(const char* text, int32_t& value)
{
    char* stop = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &stop, 0);
    if (stop == text) return int_scan::none;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return int_scan::out_of_range;
    value = static_cast<int32_t>(v);
    return int_scan::ok;
}

// One "%lf" number starting at `p` (leading white space skipped). Returns
// the position after it, or nullptr when no number starts there. Plain
// decimal numbers take the fast path; anything else (hexadecimal, a leading
// '+', out-of-range values) goes through strtod in the C locale, which
// implements the "%lf" grammar.
const char* scan_double(const char* p, const char* end, double& value)
{
    while (p < end && is_space(*p)) ++p;
    if (p < end && ((*p >= '0' && *p <= '9') || *p == '-' || *p == '.')) {
        auto [stop, ec] = std::from_chars(p, end, value);
        if (ec == std::errc() && (stop == end || is_space(*stop) || *stop == '\0')) return stop;
    }
    char* stop = nullptr;
    value = strtod_l(p, &stop, c_numeric_locale());
    return stop == p ? nullptr : stop;
}

// Up to eight numbers of a point line; returns how many were converted.
int scan_point_line(const char* p, const char* end, double (&out)[8])
{
    for (int i = 0; i < 8; ++i) {
        p = scan_double(p, end, out[i]);
        if (!p) return i;
    }
    return 8;
}

// Why a direction vector cannot be normalised later, or "" when it can.
const char* direction_fault(double x, double y, double z)
{
    if (x == 0.0 && y == 0.0 && z == 0.0) return "is zero";
    double length2 = x * x + y * y + z * z;
    if (!(length2 > 0.0) || std::isinf(length2)) return "is too small or too large to normalise";
    return "";
}

const char* column_names[8] = {"time", "brightness", "sun x", "sun y", "sun z", "earth x", "earth y", "earth z"};

std::string fixed6(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", v);
    return text;
}

// The reader's state across both passes.
struct lc_load {
    const std::string& path;
    std::string& reason;
    int32_t only_block;           // -1: as `listed` says
    bool listed = false;          // a list of blocks, each its own series
    bool resampled = true;        // each series must be resampled
    std::vector<uint8_t> wanted;  // per block, for a list (empty: every block)

    bool fail_at(long line, const std::string& what)
    {
        reason = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    bool fail(const std::string& what)
    {
        reason = path + ": " + what;
        return false;
    }
    bool fail_missing(const line_file& in, const std::string& what)
    {
        if (in.read_error()) return fail_at(in.line_no() + 1, "read error");
        return fail_at(in.line_no() + 1, what);
    }

    bool keeps(int32_t block) const
    {
        if (only_block >= 0) return block == only_block;
        if (!listed || wanted.empty()) return true;
        return static_cast<std::size_t>(block) < wanted.size() && wanted[static_cast<std::size_t>(block)];
    }

    // Reads a block header or line 1 into `value`.
    bool header(line_file& in, int32_t& value, const std::string& missing, const char* what)
    {
        if (!in.next()) return fail_missing(in, missing);
        switch (scan_leading_int(in.text(), value)) {
        case int_scan::ok: return true;
        case int_scan::none:
            return fail_at(in.line_no(), std::string("expected ") + what + " at the start of the line");
        case int_scan::out_of_range: break;
        }
        return fail_at(in.line_no(), std::string(what) + " is out of range");
    }

    std::string header_missing(int32_t block, int32_t blocks) const
    {
        return "missing header of lightcurve " + std::to_string(block) + " (the file announces " +
               std::to_string(blocks) + " lightcurves)";
    }

    // Counting pass: the number of lightcurves and the points kept.
    bool count(int32_t& blocks, int32_t& kept)
    {
        line_file in;
        std::string why;
        if (!in.open(path, why)) {
            reason = "cannot open " + why;
            return false;
        }
        if (!header(in, blocks, "the file is empty", "the number of lightcurves")) return false;
        if (only_block >= 0 && only_block >= blocks)
            return fail("lightcurve " + std::to_string(only_block) + " requested, but the file holds " +
                        std::to_string(blocks < 0 ? 0 : blocks) + " lightcurves (numbered from 0)");
        long long total = 0;
        long long kept_total = 0;
        for (int32_t block = 0; block < blocks; ++block) {
            int32_t points = 0;
            if (!header(in, points, header_missing(block, blocks), "the number of points")) return false;
            for (int32_t i = 0; i < points; ++i)
                if (!in.next())
                    return fail_missing(in, "missing point line: lightcurve " + std::to_string(block) + " announces " +
                                                std::to_string(points) + " points, the file ends after " +
                                                std::to_string(i));
            if (points <= 0) continue;
            total += points;
            if (keeps(block)) kept_total += points;
            if (total > INT32_MAX) return fail_at(in.line_no(), "more than 2147483647 observations");
        }
        kept = static_cast<int32_t>(kept_total);
        return true;
    }

    // Reading pass: parses every point line, stores the kept ones.
    bool read(int32_t blocks, int32_t n, obs_set& out)
    {
        line_file in;
        std::string why;
        if (!in.open(path, why)) {
            reason = "cannot open again " + why;
            return false;
        }
        if (!in.next()) return fail_missing(in, "the file is empty (it changed while being read)");
        int32_t j = 0;
        for (int32_t block = 0; block < blocks; ++block) {
            int32_t points = 0;
            if (!header(in, points, header_missing(block, blocks), "the number of points")) return false;
            for (int32_t i = 0; i < points; ++i) {
                if (!in.next()) return fail_missing(in, "missing point line (the file changed while being read)");
                double v[8];
                int found = scan_point_line(in.text(), in.end(), v);
                if (found < 8) return fail_at(in.line_no(), "expected 8 numbers, found " + std::to_string(found));
                for (int c = 0; c < 8; ++c)
                    if (!std::isfinite(v[c]))
                        return fail_at(in.line_no(), std::string(column_names[c]) + " is not a finite number");
                if (!(v[1] > 0.0))
                    return fail_at(in.line_no(), "brightness must be greater than 0, found " + fixed6(v[1]));
                if (const char* fault = direction_fault(v[2], v[3], v[4]); *fault)
                    return fail_at(in.line_no(), std::string("sun vector ") + fault);
                if (const char* fault = direction_fault(v[5], v[6], v[7]); *fault)
                    return fail_at(in.line_no(), std::string("earth vector ") + fault);
                if (!keeps(block)) continue;
                if (j >= n)
                    return fail_at(in.line_no(), "the file changed while being read (more points than counted)");
                // Within a block always; across blocks unless each is its own series.
                const bool same_series = !listed || out.photometry[j > 0 ? j - 1 : 0].lc_number == block;
                if (j > 0 && same_series && v[0] < out.times[j - 1])
                    return fail_at(in.line_no(), "time " + fixed6(v[0]) +
                                                     " is earlier than the previous observation's " +
                                                     fixed6(out.times[j - 1]) + " (times must not decrease)");
                out.times[j] = v[0];
                out.photometry[j] = phot_point{-2.5 * std::log10(v[1]), 0.01, 'V', block};
                out.sun[j] = vec3{v[2], v[3], v[4]};
                out.earth[j] = vec3{v[5], v[6], v[7]};
                ++j;
            }
        }
        if (j != n) return fail("the file changed while being read (fewer points than counted)");
        return true;
    }
};

}  // namespace

namespace {

// Refuses a chosen block that cannot be resampled on its own: fewer than
// two distinct times, or a span that is not finite.
bool check_each_block(lc_load& load, const obs_set& set)
{
    for (const block_run& run : block_runs(set, set.times.size())) {
        const double span = set.times[run.end - 1] - set.times[run.first];
        const std::string name = "lightcurve " + std::to_string(run.block);
        if (run.end - run.first == 1)
            return load.fail(name + " holds a single observation (two distinct times are needed)");
        if (span == 0.0) return load.fail(name + ": all its observations have the same time");
        if (!std::isfinite(span)) return load.fail(name + ": the time span is too large");
    }
    return true;
}

int32_t read_with(lc_load& load, obs_set& set, status_ops* ui)
{
    int32_t blocks = 0;
    int32_t n = 0;
    if (!load.count(blocks, n)) return 0;
    if (load.listed)
        for (std::size_t b = 0; b < load.wanted.size(); ++b)
            if (load.wanted[b] && static_cast<int32_t>(b) >= blocks) {
                load.fail("lightcurve " + std::to_string(b) + " requested, but the file holds " +
                          std::to_string(blocks < 0 ? 0 : blocks) + " lightcurves (numbered from 0)");
                return 0;
            }
    if (load.only_block >= 0 && n == 0) {
        load.fail("lightcurve " + std::to_string(load.only_block) + " holds no points");
        return 0;
    }

    // Everything goes into a fresh set first, so a failed load leaves the
    // caller's set exactly as it was.
    obs_set fresh;
    const std::size_t count = static_cast<std::size_t>(n);
    if (!renew_array(fresh.sun, count, ui) || !renew_array(fresh.earth, count, ui) ||
        !renew_array(fresh.times, count, ui) || !renew_array(fresh.photometry, count, ui)) {
        load.fail(n == 0 ? std::string("the file holds no observations")
                         : "not enough memory for " + std::to_string(n) + " observations");
        return 0;
    }
    if (!load.read(blocks, n, fresh)) return 0;
    if (load.listed) {
        for (std::size_t b = 0; b < load.wanted.size(); ++b)
            if (load.wanted[b] &&
                std::none_of(fresh.photometry.begin(), fresh.photometry.end(),
                             [&](const phot_point& p) { return p.lc_number == static_cast<int32_t>(b); })) {
                load.fail("lightcurve " + std::to_string(b) + " holds no points");
                return 0;
            }
        if (load.resampled && !check_each_block(load, fresh)) return 0;
    }

    // The resampling divides the time span: it must be finite and not zero.
    double span = fresh.times[count - 1] - fresh.times[0];
    if (n == 1 && load.resampled) {
        load.fail("a single observation cannot be resampled (two distinct times are needed)");
        return 0;
    }
    if (!load.listed && span == 0.0) {
        load.fail("all " + std::to_string(n) + " observations have the same time " + fixed6(fresh.times[0]) +
                  " (two distinct times are needed)");
        return 0;
    }
    if (!load.listed && !std::isfinite(span)) {
        load.fail("the time span of the observations is too large");
        return 0;
    }

    fresh.count = n;
    set = std::move(fresh);
    return n;
}

}  // namespace

int32_t read_lc_file(const std::string& path, obs_set& set, status_ops* ui, std::string& reason, int32_t only_block)
{
    reason.clear();
    lc_load load{path, reason, only_block, false, true, {}};
    return read_with(load, set, ui);
}

int32_t read_lc_file(const std::string& path, obs_set& set, status_ops* ui, std::string& reason,
                     const block_selection& selection)
{
    reason.clear();
    lc_load load{path, reason, all_blocks, false, true, {}};
    load.listed = !selection.whole;
    load.resampled = selection.resampled;
    for (int32_t b : selection.blocks) {
        if (b < 0) {
            load.fail("block " + std::to_string(b) + " does not exist (blocks are numbered from 0)");
            return 0;
        }
        if (static_cast<std::size_t>(b) >= load.wanted.size()) load.wanted.resize(static_cast<std::size_t>(b) + 1, 0);
        load.wanted[static_cast<std::size_t>(b)] = 1;
    }
    return read_with(load, set, ui);
}

bool parse_block_list(const std::string& text, block_selection& out, std::string& why)
{
    out = block_selection{};
    out.whole = false;
    if (text == "all") return true;
    std::vector<int32_t> blocks;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        long long lo = -1, hi = -1;
        char* end = nullptr;
        const bool digits = !item.empty() && std::isdigit(static_cast<unsigned char>(item[0]));
        if (digits) lo = std::strtoll(item.c_str(), &end, 10);
        if (digits && *end == '-' && std::isdigit(static_cast<unsigned char>(end[1])))
            hi = std::strtoll(end + 1, &end, 10);
        else
            hi = lo;
        if (!digits || *end != '\0' || lo < 0 || hi < lo || hi > 1000000) {
            why = "\"" + item + "\" is not a block or a range of blocks (e.g. 0,3,7-12 or all)";
            return false;
        }
        for (long long b = lo; b <= hi; ++b) blocks.push_back(static_cast<int32_t>(b));
        at = comma + 1;
    }
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    out.blocks = std::move(blocks);
    return true;
}
