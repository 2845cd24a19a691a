#include "common/input_file.hpp"

#include <cerrno>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_regular_file(const std::string& path, std::string& why)
{
    if (path.find('\0') != std::string::npos) {
        why = "the path holds a NUL character";
        errno = EINVAL;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        why = path + ": " + std::strerror(err);
        errno = err;
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        why = path + ": not a regular file";
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::FILE* open_regular_stream(const std::string& path, std::string& why)
{
    const int fd = open_regular_file(path, why);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "r");
    if (!file) {
        const int err = errno;
        why = path + ": " + std::strerror(err);
        ::close(fd);
        errno = err;
    }
    return file;
}

bool read_regular_file(const std::string& path, std::string& text, std::string& why)
{
    const int fd = open_regular_file(path, why);
    if (fd < 0) return false;
    text.clear();
    char chunk[1 << 16];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            why = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

input_file::input_file(const std::string& path) : std::istream(nullptr)
{
    const int fd = open_regular_file(path, error_);
    if (fd < 0) {
        missing_ = errno == ENOENT;
        setstate(std::ios::failbit);
        return;
    }
    // The buffer owns the descriptor and closes it.
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in, 1 << 16);
    rdbuf(buffer_.get());
}

input_file::~input_file() = default;
