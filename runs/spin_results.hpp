#pragma once

// What a spin search left in a run folder, as the report reads it back:
// output/spins.txt's rows, and every spin of every level from its journal.

#include <string>
#include <vector>

#include "inversion/spin_search.hpp"

// One row of output/spins.txt.
struct spin_row {
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double period_h = 0.0;
    double phi0_deg = 0.0;
    double chi2 = 0.0;
    double reduced_chi2 = 0.0;
    double shape[6] = {};
};

// Reads `path` (a header line starting with '#', then rows of twelve
// numbers); false with `why` naming the line when one is not a row.
bool read_spin_rows(const std::string& path, std::vector<spin_row>& rows, std::string& why);

// Every spin the journal at `path` holds, each (level, pixel, period) once,
// the last line's kept; false with `why` when the file cannot be read or
// is not a spin search's journal.
bool read_searched_spins(const std::string& path, std::vector<spin_fit>& spins, std::string& why);

// Writes a level's spins as output/spins.txt has them, best first, to
// `path`; false with `why`.
bool write_spin_rows(const std::string& path, const spin_level_result& level, std::string& why);

// The five words of output/spin.txt for the best spin: lambda, beta, the
// period, the epoch and phi0, as written.
void best_spin_words(const spin_search_result& r, double t0, std::string words[5]);

// Writes the five words as a spin file (two lines, as --spin reads it).
bool write_spin_file(const std::string& path, const std::string words[5], std::string& why);
