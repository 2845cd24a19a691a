#pragma once

#include <atomic>
#include <string>

// The lock file of a working folder.
constexpr const char* run_lock_file = "morvane.lock";

// One run per working folder: an advisory lock (flock) on "morvane.lock",
// which holds the pid of the process that has it. The system releases the
// lock when that process ends in any way, kill -9 included, so a stale lock
// never needs cleaning by hand.
class folder_lock {
public:
    folder_lock() = default;
    folder_lock(const folder_lock&) = delete;
    folder_lock& operator=(const folder_lock&) = delete;
    ~folder_lock();

    // The lock file to take (before acquire): shards each have their own.
    void use_file(std::string name) { file_ = std::move(name); }
    // Takes the lock without waiting. False when another run holds it (then
    // busy(), and `why` says so with its pid) or the lock file cannot be made
    // or used (a folder, a link, a device at its name: `why` says which).
    bool acquire(std::string& why);
    // Whether the last acquire failed because another live run holds the lock.
    bool busy() const { return busy_; }
    void release();
    bool held() const { return fd_.load() >= 0; }

private:
    // Read from the dialog's thread while a sweep's thread may release it.
    std::atomic<int> fd_{-1};
    std::string file_ = run_lock_file;
    bool busy_ = false;
};
