#pragma once

// What every fuzz target shares: how it stops on a broken promise, numbers
// compared bit for bit, and the scratch files it writes its inputs to.
// Each target defines fuzz_target_name ("fuzz_<name>"), which its messages
// and scratch names carry.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "common/vec3.hpp"

extern const char* const fuzz_target_name;

namespace fuzz {

// Stops the run: libFuzzer keeps the input that broke a promise.
[[noreturn]] inline void broken(const char* what, const std::string& detail = {})
{
    std::fprintf(stderr, "%s: %s%s%s\n", fuzz_target_name, what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

inline bool same_bits(double a, double b)
{
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

inline bool same_vec(const vec3& a, const vec3& b)
{
    return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}

// The folder scratch files go to: $TMPDIR when it is set, else memory under
// /dev/shm, else /tmp.
inline std::string scratch_folder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/dev/shm";
    if (access(dir.c_str(), W_OK) != 0) dir = "/tmp";
    return dir;
}

// A scratch file of this process, reused every run: "<folder>/morvane-
// <target>-<pid>-<what>".
inline std::string scratch_path(const std::string& what)
{
    return scratch_folder() + "/morvane-" + fuzz_target_name + "-" + std::to_string(getpid()) + "-" + what;
}

// Writes `size` bytes as the whole content of `path`; a failure stops the run.
inline void write_whole(const std::string& path, const void* data, std::size_t size)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) broken("cannot create a scratch file", path);
    const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !ok) broken("cannot write a scratch file", path);
}

// Whether the outcome counts are to be printed at exit (MORVANE_FUZZ_STATS).
inline bool stats_wanted()
{
    return std::getenv("MORVANE_FUZZ_STATS") != nullptr;
}

// Makes the target's state, deleted (and its report printed by its
// destructor) when the process exits.
template <class State>
State* start_state()
{
    static State* state = nullptr;
    state = new State;
    std::atexit([] {
        delete state;
        state = nullptr;
    });
    return state;
}

}  // namespace fuzz
