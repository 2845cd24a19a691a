#pragma once

#include <cstddef>
#include <cstdint>

// The 64-bit FNV-1a hash, fed in pieces: the checksum of a file computed from
// the bytes as they are written, and checked from the bytes read back. It
// finds a file cut, torn or overwritten, not one forged on purpose.
constexpr uint64_t fnv1a_start = 0xcbf29ce484222325ull;

// Continues `hash` over `size` bytes at `data`.
inline uint64_t fnv1a(uint64_t hash, const void* data, std::size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= p[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}
