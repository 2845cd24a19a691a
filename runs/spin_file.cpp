#include "runs/spin_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool read_spin_words(const std::string& path, std::string words[5], std::string& why)
{
    std::FILE* in = std::fopen(path.c_str(), "r");
    if (!in) {
        why = std::strerror(errno);
        return false;
    }
    char word[256];
    int found = 0;
    while (found < 5 && std::fscanf(in, "%255s", word) == 1) words[found++] = word;
    std::fclose(in);
    if (found < 5) {
        why = "expected 'lambda beta P' and 'JD0 phi0', found " + std::to_string(found) + " numbers";
        return false;
    }
    return true;
}
