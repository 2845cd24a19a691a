#include "sweep/sweep_journal.hpp"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

namespace {

// The bits of a double, so that every value (NaN with its sign too) is
// written and read back exactly.
unsigned long long bits_of(double v)
{
    return std::bit_cast<unsigned long long>(v);
}

double double_of(unsigned long long bits)
{
    return std::bit_cast<double>(bits);
}

// The header line of the journal of run `run_id`.
std::string header_line(const std::string& run_id)
{
    return "run " + run_id + "\n";
}

// Writes all of `text` to `fd`, again after an interruption; false with
// `why` naming `path` when it could not.
bool write_all(int fd, const std::string& text, const std::string& path, std::string& why)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = file_failure("write", path, n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A line of the journal, read field by field from its start; every field
// exactly as the writer formats it, so that nothing else passes for a row.
class line_fields {
public:
    explicit line_fields(std::string_view line) : line_(line) {}

    // A decimal number of 1 to 18 digits (no sign, no space).
    bool decimal(int64_t& value)
    {
        const std::size_t first = at_;
        value = 0;
        while (at_ < line_.size() && at_ - first < 18 && line_[at_] >= '0' && line_[at_] <= '9')
            value = value * 10 + (line_[at_++] - '0');
        return at_ > first && (at_ == line_.size() || line_[at_] < '0' || line_[at_] > '9');
    }
    // Exactly 16 lower-case hexadecimal digits.
    bool hex16(uint64_t& value)
    {
        if (line_.size() - at_ < 16) return false;
        value = 0;
        for (std::size_t end = at_ + 16; at_ < end; ++at_) {
            const char c = line_[at_];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return false;
            value = value << 4 | static_cast<uint64_t>(digit);
        }
        return true;
    }
    // One space between fields.
    bool space()
    {
        if (at_ == line_.size() || line_[at_] != ' ') return false;
        ++at_;
        return true;
    }
    bool ended() const { return at_ == line_.size(); }

private:
    std::string_view line_;
    std::size_t at_ = 0;
};

// The row on one line (without its line break); false when the line is not one.
bool parse_row(std::string_view line, journal_row& r)
{
    line_fields f(line);
    int64_t shape = 0;
    uint64_t misfit = 0, shift = 0;
    if (!f.decimal(shape) || shape < 1 || shape > INT32_MAX || !f.space() || !f.hex16(misfit) || !f.space() ||
        !f.hex16(shift) || !f.space() || !f.decimal(r.file_bytes) || !f.space() || !f.hex16(r.file_checksum))
        return false;
    r.shape = static_cast<int32_t>(shape);
    r.misfit = double_of(misfit);
    r.best_shift = double_of(shift);
    while (f.space()) {
        uint64_t block_shift = 0, block_misfit = 0;
        if (!f.hex16(block_shift) || !f.space() || !f.hex16(block_misfit)) return false;
        r.blocks.push_back({double_of(block_shift), double_of(block_misfit)});
    }
    return f.ended();
}

}  // namespace

sweep_journal::~sweep_journal()
{
    close();
}

bool is_run_id(std::string_view text)
{
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool sweep_journal::open(const std::string& path, std::string& why)
{
    close();
    path_ = path;
    // Never through a link, a FIFO or a device put at its name.
    fd_ = open_in_place(path, O_WRONLY, why, 0644);
    return fd_ >= 0;
}

bool sweep_journal::start(const std::string& run_id, int64_t keep_bytes, std::string& why)
{
    if (fd_ < 0) {
        why = file_failure("write", path_, EBADF);
        return false;
    }
    if (ftruncate(fd_, keep_bytes) != 0 || lseek(fd_, 0, SEEK_END) < 0) {
        why = file_failure("write", path_, errno);
        return false;
    }
    if (keep_bytes == 0 && !write_all(fd_, header_line(run_id), path_, why)) return false;
    if (fsync(fd_) != 0) {
        why = file_failure("write", path_, errno);
        return false;
    }
    return true;
}

bool sweep_journal::append(const journal_row* rows, std::size_t count, std::string& why)
{
    std::string text;
    char line[128];
    for (std::size_t i = 0; i < count; ++i) {
        const journal_row& r = rows[i];
        const int n = std::snprintf(line, sizeof line, "%d %016llx %016llx %lld %016llx", r.shape, bits_of(r.misfit),
                                    bits_of(r.best_shift), static_cast<long long>(r.file_bytes),
                                    static_cast<unsigned long long>(r.file_checksum));
        text.append(line, static_cast<std::size_t>(n));
        for (const block_fit& b : r.blocks) {
            const int m =
                std::snprintf(line, sizeof line, " %016llx %016llx", bits_of(b.best_shift), bits_of(b.misfit));
            text.append(line, static_cast<std::size_t>(m));
        }
        text += '\n';
    }
    int fd = -1;
    {
        // Writes are serialised; the sync below is not, so that one thread's
        // wait for the disk never holds up another's rows.
        std::lock_guard guard(lock_);
        fd = fd_;
        if (fd < 0) {
            why = file_failure("write", path_, EBADF);
            return false;
        }
        if (!write_all(fd, text, path_, why)) return false;
    }
    if (fdatasync(fd) != 0) {
        why = file_failure("write", path_, errno);
        return false;
    }
    return true;
}

void sweep_journal::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

journal_contents parse_journal(std::string_view bytes)
{
    journal_contents out;
    std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) return out;
    const std::string_view header = bytes.substr(0, end);
    if (header.substr(0, 4) != "run " || !is_run_id(header.substr(4))) return out;
    out.run_id = std::string(header.substr(4));
    std::size_t at = end + 1;
    while ((end = bytes.find('\n', at)) != std::string_view::npos) {  // a line without its break was torn
        journal_row r;
        if (!parse_row(bytes.substr(at, end - at), r)) break;
        out.rows.push_back(std::move(r));
        at = end + 1;
    }
    out.valid_bytes = static_cast<int64_t>(at);
    return out;
}

journal_contents read_journal(const std::string& path)
{
    std::string bytes;
    std::string why;
    // A journal that cannot be read as a regular file holds no finished row.
    if (!read_regular_file(path, bytes, why)) return {};
    return parse_journal(bytes);
}
