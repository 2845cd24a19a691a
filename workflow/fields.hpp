#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/status_ops.hpp"

// The dialog's default field texts, in the order the dialog fills them.
const std::vector<std::pair<int, std::string>>& default_field_texts();

// A field's text as a read of at most max - 1 characters gives it.
std::string clipped_field(const std::string& text, int max);

// A signed decimal whole number, blanks before it skipped, nothing after it.
bool parse_whole_number(const std::string& text, int& value);

// The decimal-field rule: at most 79 characters; accepted only when "%lf%s"
// converts exactly one item (a number followed by nothing but blanks).
bool parse_decimal(const std::string& text, double& value);

// Reads field `id` of the front end by the decimal-field rule.
bool read_decimal_field(status_ops& ui, int id, double& value);
