#include "support/planted.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* planted_name(planted what)
{
    switch (what) {
    case planted::nothing: return "nothing";
    case planted::regular: return "a regular file";
    case planted::folder: return "a folder";
    case planted::fifo: return "a FIFO";
    case planted::device: return "a device";
    case planted::link_to_file: return "a link to a file";
    case planted::dangling_link: return "a dangling link";
    case planted::link_to_fifo: return "a link to a FIFO";
    case planted::link_to_device: return "a link to a device";
    case planted::hard_link: return "a hard link";
    }
    return "?";
}

namespace {

// A character device node that behaves as /dev/null (major 1, minor 3),
// where the file system lets it be opened (not one mounted nodev).
bool make_device(const std::string& name)
{
    if (mknod(name.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) return false;
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) return close(fd) == 0;
    unlink(name.c_str());
    return false;
}

}  // namespace

bool plant(planted what, const std::string& name, const std::string& target)
{
    std::error_code error;
    switch (what) {
    case planted::nothing: return true;
    case planted::regular: {
        std::ofstream(name) << "earlier\n";
        return true;
    }
    case planted::folder: return fs::create_directory(name, error);
    case planted::fifo: return mkfifo(name.c_str(), 0600) == 0;
    case planted::device: return make_device(name);
    case planted::link_to_file:
    case planted::dangling_link: fs::create_symlink(target, name, error); return !error;
    case planted::link_to_fifo:
        if (mkfifo(target.c_str(), 0600) != 0) return false;
        fs::create_symlink(target, name, error);
        return !error;
    case planted::link_to_device:
        if (!make_device(target)) return false;
        fs::create_symlink(target, name, error);
        return !error;
    case planted::hard_link: return link(target.c_str(), name.c_str()) == 0;
    }
    return false;
}

std::string file_kind(const std::string& name)
{
    struct stat info {};
    if (lstat(name.c_str(), &info) != 0) return "nothing";
    if (S_ISREG(info.st_mode)) return "regular";
    if (S_ISDIR(info.st_mode)) return "folder";
    if (S_ISFIFO(info.st_mode)) return "fifo";
    if (S_ISCHR(info.st_mode)) return "device";
    if (S_ISLNK(info.st_mode)) return "link";
    return "other";
}

std::vector<std::string> names_starting(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}
