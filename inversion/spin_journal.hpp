#pragma once

// The spin search's journal as text: one line per fitted spin, so that a
// search stopped in any way resumes where it was and ends with the same
// files.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inversion/spin_search.hpp"

// The first line of a journal: "spins <key>", the key (16 hexadecimal
// digits) naming the search, its data and settings, the rows belong to.
std::string spin_journal_header(uint64_t key);

// The key a journal's header names; false when `text` does not begin with
// such a header.
bool spin_journal_key(std::string_view text, uint64_t& key);

// One fitted spin as a line, ending in a newline: "level nside pixel
// period_index evaluations", then lambda, beta, the model's ten parameters,
// chi2 and the reduced chi2, each double as the 16 hexadecimal digits of
// its bits, so that it comes back exactly.
std::string spin_journal_line(const spin_fit& s);

// One line (without its newline) as a spin; false when it is malformed.
bool parse_spin_journal_line(std::string_view line, spin_fit& s);

// The spins of a journal's text whose header names `key`, in file order.
// A torn or malformed line and everything after it are left out; a journal
// of another key, or none, gives none.
std::vector<spin_fit> parse_spin_journal(std::string_view text, uint64_t key);
