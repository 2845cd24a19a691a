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

}  // namespace

sweep_journal::~sweep_journal()
{
    close();
}

bool sweep_journal::open(const std::string& path, int64_t keep_bytes, std::string& why)
{
    close();
    path_ = path;
    // Never through a link, a FIFO or a device put at its name.
    fd_ = open_in_place(path, O_WRONLY, why, 0644);
    if (fd_ < 0) return false;
    if (ftruncate(fd_, keep_bytes) != 0 || lseek(fd_, 0, SEEK_END) < 0) {
        why = file_failure("write", path, errno);
        close();
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
        const int n = std::snprintf(line, sizeof line, "%d %016llx %016llx %lld\n", r.shape, bits_of(r.misfit),
                                    bits_of(r.best_shift), static_cast<long long>(r.file_bytes));
        text.append(line, static_cast<std::size_t>(n) - 1);
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
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = file_failure("write", path_, n < 0 ? errno : ENOSPC);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
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

std::vector<journal_row> read_journal(const std::string& path, int64_t& valid_bytes)
{
    std::vector<journal_row> rows;
    valid_bytes = 0;
    std::string why;
    std::FILE* in = open_regular_stream(path, why);
    if (!in) return rows;
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t got;
    while ((got = getline(&line, &capacity, in)) > 0) {
        if (line[got - 1] != '\n') break;  // torn by a stop mid-write
        journal_row r;
        long long bytes = -1;
        char* end = nullptr;
        const long shape = std::strtol(line, &end, 10);
        if (end == line || *end != ' ') break;
        char* p = end;
        r.misfit = double_of(std::strtoull(p, &end, 16));
        if (end != p + 17 || *end != ' ') break;
        p = end;
        r.best_shift = double_of(std::strtoull(p, &end, 16));
        if (end != p + 17 || *end != ' ') break;
        p = end;
        bytes = std::strtoll(p, &end, 10);
        if (end == p || shape < 1 || shape > INT32_MAX || bytes < 0) break;
        bool whole = true;
        while (*end == ' ') {
            p = end;
            const double shift = double_of(std::strtoull(p, &end, 16));
            if (end != p + 17 || *end != ' ') {
                whole = false;
                break;
            }
            p = end;
            const double misfit = double_of(std::strtoull(p, &end, 16));
            if (end != p + 17) {
                whole = false;
                break;
            }
            r.blocks.push_back({shift, misfit});
        }
        if (!whole || *end != '\n') break;
        r.shape = static_cast<int32_t>(shape);
        r.file_bytes = bytes;
        rows.push_back(r);
        valid_bytes += got;
    }
    std::free(line);
    std::fclose(in);
    return rows;
}
