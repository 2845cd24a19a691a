#include "common/sha256.hpp"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <openssl/evp.h>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

namespace {

// Owns a digest context.
struct digest_context_free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using digest_context = std::unique_ptr<EVP_MD_CTX, digest_context_free>;

// Lower-case hexadecimal digits of `size` bytes.
std::string hex_of(const unsigned char* bytes, unsigned size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

}  // namespace

std::string sha256_of_file(const std::string& path, std::string& why)
{
    std::FILE* in = open_regular_stream(path, why);
    if (!in) {
        why = "cannot read " + why;
        return "";
    }
    const digest_context context(EVP_MD_CTX_new());
    bool hashed = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    char buffer[1 << 16];
    std::size_t got;
    while (hashed && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        hashed = EVP_DigestUpdate(context.get(), buffer, got) == 1;
    const bool failed = std::ferror(in) != 0;
    const int err = errno;
    std::fclose(in);
    if (failed) {
        why = file_failure("read", path, err);
        return "";
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (!hashed || EVP_DigestFinal_ex(context.get(), digest, &size) != 1) {
        why = "cannot compute the SHA-256 of " + path + ": libcrypto failed";
        return "";
    }
    return hex_of(digest, size);
}
