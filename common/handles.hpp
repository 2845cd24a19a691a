#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

// The arrays whose allocation may fail without ending the work: the
// model's own buffers, which report a failed allocation in their own way
// (a message box, "memory leak", a result of 0). Every other allocation
// lets std::bad_alloc reach the entry of its thread, which reports it once.

// Runs `fill` on an emptied `handle`; false, with the handle empty, when the
// array could not be obtained.
template <typename T, typename Fill>
bool obtain_array(std::vector<T>& handle, Fill fill)
{
    std::vector<T>().swap(handle);
    try {
        fill(handle);
    } catch (const std::bad_alloc&) {
        std::vector<T>().swap(handle);
        return false;
    } catch (const std::length_error&) {  // a count no array can hold
        std::vector<T>().swap(handle);
        return false;
    }
    return true;
}

// Releases what `handle` holds, then gives it `count` zero-filled records.
// Returns false, with the handle empty, when the array was not obtained.
template <typename T>
bool replace_array(std::vector<T>& handle, std::size_t count)
{
    return obtain_array(handle, [count](std::vector<T>& h) { h.resize(count); });
}

// Releases what `handle` holds, then gives it a copy of from[0 .. count - 1].
// Returns false, with the handle empty, when the array was not obtained.
template <typename T>
bool copy_array(std::vector<T>& handle, const T* from, std::size_t count)
{
    return obtain_array(handle, [from, count](std::vector<T>& h) { h.assign(from, from + count); });
}
