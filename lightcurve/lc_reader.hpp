#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "common/handles.hpp"
#include "common/status_ops.hpp"
#include "lightcurve/obs_set.hpp"

// Selects every lightcurve block of a file.
constexpr int32_t all_blocks = -1;

// Which lightcurve blocks a load keeps: the whole file as one series
// (`whole`), or the listed blocks (0-based, ascending), each its own series.
struct block_selection {
    bool whole = true;
    std::vector<int32_t> blocks;
    // Each block is resampled: it needs two distinct times. The chi2 fit
    // takes the points as they are, a block of one point too.
    bool resampled = true;
};

// Parses "all" (every block of the file, each its own series) or a list
// such as "0,3,7-12" into `out` ("all" gives an empty list, which the
// reader takes as every block). False with `why` for anything else.
bool parse_block_list(const std::string& text, block_selection& out, std::string& why);

// Reads an observation file into `set`. Returns the number of observations,
// or 0 on any failure; then `set` is left exactly as it was and `reason`
// says why (file, line, what). With only_block >= 0 only that 0-based block
// is kept. A failed or empty allocation shows "Virtual memory not allocated".
int32_t read_lc_file(const std::string& path, obs_set& set, status_ops* ui, std::string& reason,
                     int32_t only_block = all_blocks);

// The same for a selection of blocks. With a list, times must not decrease
// within each block (blocks may overlap each other), and every chosen block
// needs two distinct times (unless selection.resampled is false); the kept
// observations stay in file order, each
// with its block's index as lc_number. An empty list means every block.
int32_t read_lc_file(const std::string& path, obs_set& set, status_ops* ui, std::string& reason,
                     const block_selection& selection);

// Releases the array `v` holds and gives it `count` zeroed entries; on a
// failed or zero-size allocation shows the memory box, leaves `v` empty and
// returns false.
template <class T>
bool renew_array(std::vector<T>& v, std::size_t count, status_ops* ui)
{
    if (count > 0 && replace_array(v, count)) return true;
    std::vector<T>().swap(v);
    if (ui) ui->message_box("Virtual memory not allocated", "Error", box_icon::error);
    return false;
}
