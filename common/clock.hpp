#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds of a monotonic clock, for the elapsed times the status line
// shows (wall time, so that a sweep on several threads is timed honestly).
inline int64_t clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
