#include "support/failing_allocations.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> fail_lo{1};
std::atomic<std::size_t> fail_hi{0};  // lo > hi: nothing fails
}  // namespace

failing_allocations::failing_allocations(std::size_t lo, std::size_t hi)
{
    fail_hi = 0;
    fail_lo = lo;
    fail_hi = hi;
}

failing_allocations::~failing_allocations()
{
    fail_lo = 1;
    fail_hi = 0;
}

void* operator new(std::size_t size)
{
    if (size >= fail_lo && size <= fail_hi) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
