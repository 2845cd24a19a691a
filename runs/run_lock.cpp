#include "runs/run_lock.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "common/checked_file.hpp"

folder_lock::~folder_lock()
{
    release();
}

bool folder_lock::acquire(std::string& why)
{
    if (held()) return true;
    busy_ = false;
    // Never through a link, a FIFO or a device at its name: the pid written
    // below lands in the lock file, nowhere else.
    const int fd = open_in_place(file_, O_RDWR, why, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char text[32] = {};
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (err != EWOULDBLOCK) {
            why = file_failure("lock", file_, err);
            return false;
        }
        const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
        busy_ = true;
        why = "another run" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
              " holds this folder: wait for it to end, or cancel it";
        return false;
    }
    // Ours now: say who holds it, for the run that is refused.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the pid; a refused run just cannot name us.
    }
    fd_ = fd;
    return true;
}

void folder_lock::release()
{
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}
