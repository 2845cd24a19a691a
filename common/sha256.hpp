#pragma once

#include <string>

// The SHA-256 of a file's bytes as 64 lower-case hexadecimal digits, read in
// pieces through libcrypto; "" with `why` set when it cannot be read.
std::string sha256_of_file(const std::string& path, std::string& why);
