#pragma once

#include <string>

// Reads the five words of a spin file in the field's two-line layout,
// "lambda beta P" then "JD0 phi0" (degrees, hours, Julian date), into
// `words` in that order, unchanged, so that they read exactly as typed
// ones. False with `why`, which names the path, when the file cannot be
// read (not a regular file among others) or is short.
bool read_spin_words(const std::string& path, std::string words[5], std::string& why);
