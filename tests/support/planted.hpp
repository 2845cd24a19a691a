#pragma once

#include <string>
#include <vector>

// What a test puts at a name where a program writes or reads a file.
enum class planted {
    nothing,
    regular,  // a regular file holding "earlier\n"
    folder,
    fifo,
    device,          // a character device made with mknod (a copy of /dev/null's node)
    link_to_file,    // a symbolic link to `target`, a regular file the caller made
    dangling_link,   // a symbolic link to `target`, which does not exist
    link_to_fifo,    // a symbolic link to `target`, made a FIFO
    link_to_device,  // a symbolic link to `target`, made a device
    hard_link,       // a second name of `target`, a regular file the caller made
};

// The kind's name, for messages.
const char* planted_name(planted what);

// Puts `what` at `name` (and makes `target` where the kind needs it made);
// false when the system does not allow it (mknod without the privilege), so
// that the case can be skipped.
bool plant(planted what, const std::string& name, const std::string& target = "");

// What is at `name` as lstat sees it: "nothing", "regular", "folder", "fifo",
// "device", "link" or "other".
std::string file_kind(const std::string& name);

// The names in `folder` that start with `prefix`, sorted.
std::vector<std::string> names_starting(const std::string& folder, const std::string& prefix);
