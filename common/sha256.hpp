#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 of a byte stream, fed in pieces.
class sha256 {
public:
    sha256();
    void update(const void* data, std::size_t size);
    // The digest as 64 lower-case hexadecimal digits; ends the stream.
    std::string hex();

private:
    // Mixes one 64-byte block into the state.
    void block(const uint8_t* p);

    uint32_t state_[8];
    uint8_t pending_[64];
    std::size_t pending_size_ = 0;
    uint64_t total_ = 0;
};

// The SHA-256 of a file's bytes, or "" with `why` set when it cannot be read.
std::string sha256_of_file(const std::string& path, std::string& why);
