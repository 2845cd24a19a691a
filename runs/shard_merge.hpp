#pragma once

#include <cstdint>
#include <string>

// How joining the shards of a run went.
struct merge_outcome {
    bool done = false;
    bool failed = false;  // a file could not be written (else: refused)
    std::string reason;
    int32_t shards = 0;
    int64_t shapes = 0;
    int64_t spins = 0;  // of a spin search's last level (0: none)
};

// Joins the shards of the run in this folder: checks that every shard K of
// S has its manifest, has completed and has the inputs of shard 1, and that
// their tables hold every shape of the grid exactly once; then writes
// output/main.txt (and output/fits.csv for a joint fit) with the shards'
// lines in shape order, which are the lines one process would have
// written, and output/run.json. For a run whose shards shared a spin
// search, it also rebuilds the search from their journals (every spin
// there, of the same search as each shard records) and writes
// output/spins.journal, output/spins.txt and output/spin.txt as one
// process would. Nothing is written when a check fails.
merge_outcome merge_shards();
