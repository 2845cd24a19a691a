#pragma once

#include <cstddef>

// While one of these lives, every operator new of a size in [lo, hi] bytes
// throws std::bad_alloc, so the out-of-memory paths can be driven. The test
// program replaces the global operator new for this.
class failing_allocations {
public:
    failing_allocations(std::size_t lo, std::size_t hi);
    ~failing_allocations();
    failing_allocations(const failing_allocations&) = delete;
    failing_allocations& operator=(const failing_allocations&) = delete;
};
