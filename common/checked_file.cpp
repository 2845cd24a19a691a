#include "common/checked_file.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

std::string file_failure(const char* action, const std::string& path, int err)
{
    return std::string("cannot ") + action + " " + path + ": " + std::strerror(err);
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

bool checked_file::open(const std::string& path, placement where)
{
    path_ = path;
    where_ = where;
    written_ = where == placement::replacing ? path + ".part" : path;
    error_.clear();
    bytes_ = 0;
    file_ = std::fopen(written_.c_str(), "w");
    if (!file_) {
        fail("create", errno);
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
        if (error_.empty() && std::rename(written_.c_str(), path_.c_str()) != 0) fail("replace", errno);
        if (!error_.empty()) std::remove(written_.c_str());
    }
    return error_.empty();
}

void checked_file::discard()
{
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    std::remove(written_.c_str());
}
