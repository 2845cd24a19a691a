#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_manifest.hpp"
#include "sweep/sweep_journal.hpp"
#include "sweep/sweep_records.hpp"

// The journal of finished shapes in the output folder.
constexpr const char* journal_file = "output/journal.txt";

// What a sweep takes over from an interrupted run of the same inputs.
struct taken_over {
    std::vector<uint8_t> finished;  // per shape: 1 when kept
    int64_t kept = 0;               // shapes kept
    int64_t journal_bytes = 0;      // the journal's good part, to append after
};

// For a resumed sweep: checks that the folder's manifest records the same
// inputs, then keeps every journalled shape of the grid whose lightcurve
// file is whole, putting its fit into `table`. The refusal says what is
// missing or which inputs differ ("" when taken over).
// Each kept shape's block fits go into `block_fits` (`blocks` per shape).
std::string take_over_run(const run_inputs& now, std::vector<shape_result>& table, std::vector<block_fit>& block_fits,
                          int32_t blocks, taken_over& out);

// Makes the folder describe the new run only: removes the summary, the
// partial summary and every plain lightcurve file that is not kept (those
// of other runs, and all numbered above the grid); folders and links of
// such names are left alone. False with `why` when a
// file could not be removed.
bool clear_run_folder(const std::vector<uint8_t>& finished, std::string& why);
