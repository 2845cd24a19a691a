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

// Reads an observation file into `set`. Returns the number of observations,
// or 0 on any failure; then `set` is left exactly as it was and `reason`
// says why (file, line, what). With only_block >= 0 only that 0-based block
// is kept. A failed or empty allocation shows "Virtual memory not allocated".
int32_t read_lc_file(const std::string& path, obs_set& set, status_ops* ui, std::string& reason,
                     int32_t only_block = all_blocks);

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
