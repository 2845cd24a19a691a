#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// "cannot <action> <path>: <the system's reason for errno `err`>", the form
// every failed file operation is reported in.
std::string file_failure(const char* action, const std::string& path, int err);

// A text file whose every write and whose close are checked. Written either
// in place, or (`replacing`) to "<path>.part", which is synced and renamed
// over the path only when everything succeeded, so that a reader never sees
// a cut file and a failed write never destroys the previous one.
class checked_file {
public:
    enum class placement { in_place, replacing };

    checked_file() = default;
    checked_file(const checked_file&) = delete;
    checked_file& operator=(const checked_file&) = delete;
    // Abandons a file that was not closed, as discard() does, so that work
    // ended by an exception leaves no cut file.
    ~checked_file();

    // Creates or truncates the file; false (with error()) when it cannot be.
    bool open(const std::string& path, placement where = placement::in_place);
    // Gives the stream a buffer of `size` bytes (before the first write).
    void buffer(std::size_t size);
    // Formatted output; false once any write has failed.
    bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Raw output; false once any write has failed.
    bool write(const char* data, std::size_t size);
    // Flushes and closes (and for a replacing file syncs and renames); false
    // when anything since open failed. The file is closed either way.
    bool close();
    // Closes without keeping anything: a replacing file's temporary is
    // removed, an in-place file is removed too.
    void discard();

    // What failed, as file_failure words it ("" while nothing has).
    const std::string& error() const { return error_; }
    // Bytes written so far.
    int64_t bytes() const { return bytes_; }
    bool is_open() const { return file_ != nullptr; }

private:
    // Records the first failure.
    void fail(const char* action, int err);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string written_;  // the path written to: path_ or its temporary
    placement where_ = placement::in_place;
    std::string error_;
    int64_t bytes_ = 0;
    char* buffer_ = nullptr;
};
