#include "common/checked_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The refusal of a symbolic link where a file is written.
std::string link_refusal(const std::string& path)
{
    return path + ": a symbolic link (never written through)";
}

// The refusal of a FIFO, a device, a socket or a folder where a file is written.
std::string not_regular(const std::string& path)
{
    return path + ": not a regular file";
}

}  // namespace

std::string file_failure(const char* action, const std::string& path, int err)
{
    return std::string("cannot ") + action + " " + path + ": " + std::strerror(err);
}

std::string unique_suffix()
{
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        // No entropy yet (early boot): the clock and a count still differ
        // between the calls of this process, and the pid between processes.
        static std::atomic<uint64_t> count{0};
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        bits = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
        bits ^= count.fetch_add(1) << 40;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%ld-%016llx", static_cast<long>(getpid()), static_cast<unsigned long long>(bits));
    return text;
}

std::string temporary_of(const std::string& name)
{
    const std::size_t at = name.rfind(".part-");
    if (at == std::string::npos || at == 0) return "";
    const std::string suffix = name.substr(at + 6);
    const std::size_t dash = suffix.find('-');
    if (dash == 0 || dash == std::string::npos || suffix.size() - dash - 1 != 16) return "";
    if (suffix.find_first_not_of("0123456789") != dash) return "";
    if (suffix.find_first_not_of("0123456789abcdef", dash + 1) != std::string::npos) return "";
    return name.substr(0, at);
}

bool check_destination(const std::string& path, std::string& why, link_rule links)
{
    struct stat info {};
    // Nothing there (or nothing this process may see: creating says why).
    if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return true;
    if (S_ISLNK(info.st_mode)) {
        if (links == link_rule::refuse) {
            why = link_refusal(path);
            return false;
        }
        // A rename replaces the link itself; but a link to a device says
        // that the device was meant, and that is refused like the device.
        struct stat target {};
        if (stat(path.c_str(), &target) != 0 || S_ISREG(target.st_mode)) return true;
    }
    why = not_regular(path);
    return false;
}

int open_in_place(const std::string& path, int access, std::string& why, unsigned mode)
{
    // Looked at first, so that a device or a FIFO is not even opened.
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        why = S_ISLNK(info.st_mode) ? link_refusal(path) : not_regular(path);
        return -1;
    }
    // O_NOFOLLOW: a link put there since is not followed either; O_NONBLOCK
    // and O_NOCTTY: a FIFO or a terminal put there since cannot hold us.
    const int fd = ::open(path.c_str(), access | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        const int err = errno;
        why = err == ELOOP ? link_refusal(path) : err == ENXIO ? not_regular(path) : file_failure("create", path, err);
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
        why = S_ISREG(info.st_mode) && info.st_nlink > 1
                  ? path + ": it has other names (hard links; never written through)"
                  : not_regular(path);
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

checked_file::~checked_file()
{
    // Only a failure (an exception on its way out) leaves a file open: none
    // is left cut.
    if (file_) discard();
    std::free(buffer_);
}

void checked_file::fail(const char* action, int err)
{
    if (error_.empty()) error_ = file_failure(action, path_, err ? err : EIO);
}

int checked_file::create_temporary()
{
    // O_EXCL: a file of that name (a link above all) is never reused; a
    // clash of random names is only retried.
    for (int attempt = 0; attempt < 8; ++attempt) {
        written_ = path_ + ".part-" + unique_suffix();
        const int fd = ::open(written_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool checked_file::open(const std::string& path, placement where)
{
    path_ = path;
    where_ = where;
    written_.clear();
    error_.clear();
    bytes_ = 0;
    int fd = -1;
    if (where == placement::replacing) {
        if (!check_destination(path, error_)) return false;
        fd = create_temporary();
        if (fd < 0) {
            fail("create", errno);
            written_.clear();
            return false;
        }
    } else {
        fd = open_in_place(path, O_WRONLY, error_);
        if (fd < 0) return false;
        written_ = path;
        if (ftruncate(fd, 0) != 0) {
            fail("create", errno);
            ::close(fd);
            return false;
        }
    }
    file_ = fdopen(fd, "w");
    if (!file_) {
        fail("create", errno);
        ::close(fd);
        discard();
        return false;
    }
    return true;
}

void checked_file::buffer(std::size_t size)
{
    if (!file_ || buffer_) return;
    buffer_ = static_cast<char*>(std::malloc(size));
    if (buffer_) std::setvbuf(file_, buffer_, _IOFBF, size);
}

bool checked_file::printf(const char* format, ...)
{
    if (!file_ || !error_.empty()) return false;
    std::va_list args;
    va_start(args, format);
    errno = 0;
    const int n = std::vfprintf(file_, format, args);
    va_end(args);
    if (n < 0) {
        fail("write", errno);
        return false;
    }
    bytes_ += n;
    return true;
}

bool checked_file::write(const char* data, std::size_t size)
{
    if (!file_ || !error_.empty()) return false;
    errno = 0;
    if (std::fwrite(data, 1, size, file_) != size) {
        fail("write", errno);
        return false;
    }
    bytes_ += static_cast<int64_t>(size);
    return true;
}

bool checked_file::close()
{
    if (!file_) return error_.empty() && !path_.empty();
    errno = 0;
    if (std::fflush(file_) != 0) fail("write", errno);
    if (where_ == placement::replacing && error_.empty() && fsync(fileno(file_)) != 0) fail("write", errno);
    errno = 0;
    if (std::fclose(file_) != 0) fail("write", errno);
    file_ = nullptr;
    if (where_ == placement::replacing) {
        // Looked at again: what was put there meanwhile is not replaced either.
        if (error_.empty()) check_destination(path_, error_);
        if (error_.empty() && std::rename(written_.c_str(), path_.c_str()) != 0) fail("replace", errno);
        if (!error_.empty()) std::remove(written_.c_str());
        written_.clear();
    }
    return error_.empty();
}

void checked_file::discard()
{
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!written_.empty()) std::remove(written_.c_str());
    written_.clear();
}
