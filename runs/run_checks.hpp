#pragma once

#include <cstdint>
#include <string>

// The checks a run makes of its machine and its folder before it writes
// anything.

// Proves "output" usable by writing a probe file into it, under a name of
// this process's own, and removing it again. With `make` a missing output is
// created first (one made meanwhile by another process is as good); without,
// it is not, and the working folder it would be made in is probed instead.
// Nothing but the probe is ever removed, so that processes starting together
// in one folder (the shards of a run) never take the folder from each other.
// False with `why` when it is not usable.
bool check_output_folder(bool make, std::string& why);

// The memory and the disk a sweep needs, against what the machine has.
struct sweep_needs {
    int64_t shapes = 0;
    double memory_bytes = 0.0;
    double free_memory_bytes = 0.0;
    double disk_bytes = 0.0;
    double free_disk_bytes = 0.0;
    int64_t files = 0;
    int64_t free_files = -1;  // -1: the file system sets no limit
};

// Estimates the needs of `shapes` shapes of which `new_files` get a new
// lightcurve file of `samples` lines (0: 150 per block), on a base of
// `vertex_count` vertices and `threads` threads, for `blocks` lightcurve
// blocks; the disk is the one of "output" (or of the working folder).
sweep_needs estimate_sweep_needs(int64_t shapes, int64_t new_files, int64_t vertex_count, int threads, int blocks = 1,
                                 int64_t samples = 0);

// Whether the needs fit the machine and the folder; false with the refusal
// in `why`, with the figures, and the time the sweep would take on
// `threads` threads when `seconds_per_shape` is known (> 0).
bool sweep_fits(const sweep_needs& needs, double seconds_per_shape, int threads, std::string& why);
