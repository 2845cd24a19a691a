#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

// Releases what `handle` holds, then gives it `count` zero-filled records.
// Returns false, with the handle empty, when the array was not obtained.
template <typename T>
bool replace_array(std::vector<T>& handle, std::size_t count)
{
    std::vector<T>().swap(handle);
    try {
        handle.resize(count);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {  // a count no array can hold
        return false;
    }
    return true;
}
