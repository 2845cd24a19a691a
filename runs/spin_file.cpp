#include "runs/spin_file.hpp"

#include <cstdio>

#include "common/input_file.hpp"

bool read_spin_words(const std::string& path, std::string words[5], std::string& why)
{
    // A FIFO or a device named as the spin file is refused, not waited on.
    std::FILE* in = open_regular_stream(path, why);
    if (!in) return false;
    char word[256];
    int found = 0;
    while (found < 5 && std::fscanf(in, "%255s", word) == 1) words[found++] = word;
    std::fclose(in);
    if (found < 5) {
        why = path + ": expected 'lambda beta P' and 'JD0 phi0', found " + std::to_string(found) + " numbers";
        return false;
    }
    return true;
}
