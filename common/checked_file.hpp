#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// "cannot <action> <path>: <the system's reason for errno `err`>", the form
// every failed file operation is reported in.
std::string file_failure(const char* action, const std::string& path, int err);

// "<pid>-<16 random hex digits>": a part of a name that no other process
// picks at the same time, on this machine or on another sharing the folder.
std::string unique_suffix();

// The file that `name` is a temporary of ("main.txt" for
// "main.txt.part-<unique suffix>"), or "" when `name` is not one.
std::string temporary_of(const std::string& name);

// What a symbolic link at a destination means to check_destination.
enum class link_rule {
    replace,  // the rename replaces the link itself (unless it leads to a device, a FIFO...)
    refuse,   // a link is refused: the destination must be a regular file or nothing
};

// Whether a file may be renamed over `path`: nothing is there, or a regular
// file. A FIFO, a device, a socket or a folder is refused with "<path>: not a
// regular file" (a result never replaces a device node), and so is a link
// that leads to one; other links are replaced or refused as `links` says.
bool check_destination(const std::string& path, std::string& why, link_rule links = link_rule::replace);

// Opens, creating it when missing, a file that is written where it is (the
// journal, the lock, a lightcurve): never through a symbolic link, never a
// FIFO, a device or a file that has other names (hard links), so that what
// is written always lands in the folder. `access` is O_WRONLY or O_RDWR;
// `mode` the permissions of a new file (less the umask). The descriptor, or
// -1 with `why`; the content is left as it was.
int open_in_place(const std::string& path, int access, std::string& why, unsigned mode = 0666);

// A text file whose every write and whose close are checked. Written either
// in place, or (`replacing`) to a temporary "<path>.part-<unique suffix>",
// created afresh (never an existing file, never through a link), synced and
// renamed over the path only when everything succeeded, so that a reader
// never sees a cut file, a failed write never destroys the previous one, and
// processes writing the same file at once never meet in its temporary.
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
    // Creates the replacing file's temporary; its descriptor, or -1.
    int create_temporary();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string written_;  // the path written to: path_ or its temporary
    placement where_ = placement::in_place;
    std::string error_;
    int64_t bytes_ = 0;
    char* buffer_ = nullptr;
};
