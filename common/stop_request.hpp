#pragma once

#include <atomic>
#include <cstdint>

// Polled by long computations (between samples, and within a sample of a
// fine mesh): whether to abandon the work now.
struct stop_request {
    const std::atomic<int32_t>* cancel = nullptr;  // the user's cancel
    const std::atomic<bool>* halt = nullptr;       // set when another shape failed
    bool requested() const
    {
        return (cancel && cancel->load(std::memory_order_relaxed) != 0) ||
               (halt && halt->load(std::memory_order_relaxed));
    }
};
