#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>

// Every file the programs read is opened here, and only a regular file is
// read: a FIFO or a device named where a file belongs would otherwise hold
// the reader for ever (or feed it without end).

// Opens `path` for reading: without blocking (O_NONBLOCK, and O_NOCTTY so
// that a terminal never becomes ours), looked at with fstat, refused unless
// a regular file, then made blocking again. The descriptor, or -1 with
// `why`: "<path>: not a regular file" or "<path>: <the system's reason>"
// (errno is then ENOENT for a missing file).
int open_regular_file(const std::string& path, std::string& why);

// The same as a stdio stream; nullptr with `why`.
std::FILE* open_regular_stream(const std::string& path, std::string& why);

// The whole content of a regular file into `text`; false with `why`.
bool read_regular_file(const std::string& path, std::string& text, std::string& why);

// An input stream over a regular file, opened by open_regular_file; in the
// failed state (with error()) when it could not be.
class input_file : public std::istream {
public:
    explicit input_file(const std::string& path);
    ~input_file() override;
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;

    // Why the file could not be opened ("" when it was).
    const std::string& error() const { return error_; }
    // Whether it could not be opened because nothing has that name.
    bool missing() const { return missing_; }

private:
    std::unique_ptr<std::streambuf> buffer_;
    std::string error_;
    bool missing_ = false;
};
