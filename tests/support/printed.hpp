#pragma once

#include <string>
#include <vector>

// Whether `text` is what printf's `format` prints for some numbers: every
// floating conversion of the format (%f with any flags, width and
// precision) is read back from the text as a double, and printing those
// numbers with the format must give the text again, character for
// character. `numbers` receives what was read.
bool printed_by(const std::string& text, const std::string& format, std::vector<double>* numbers = nullptr);
