#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runs/run_manifest.hpp"
#include "sweep/sweep_journal.hpp"
#include "sweep/sweep_records.hpp"

// The journal of finished shapes in the output folder.
constexpr const char* journal_file = "output/journal.txt";

// The files that describe one run of a folder: the whole sweep's, or one
// shard's ("output/main.shard-2-of-3.txt" and so on), so that shards of
// one run can share a folder.
struct run_files {
    std::string manifest = manifest_file;
    std::string journal = journal_file;
    std::string table = "output/main.txt";
    std::string partial = "output/main.partial.txt";
    std::string fits = "output/fits.csv";
    std::string lock = "morvane.lock";
    std::string spin_journal = "output/spins.journal";  // of a spin search
};

// The files of shard k of s; s = 0 gives the whole sweep's.
run_files files_of_shard(int32_t k, int32_t s);

// What a sweep takes over from an interrupted run of the same inputs.
struct taken_over {
    std::vector<uint8_t> finished;  // per shape: 1 when kept
    int64_t kept = 0;               // shapes kept
    int64_t journal_bytes = 0;      // the journal's good part, to append after
    std::string run_id;             // the run continued, as its manifest names it
    std::string note;               // why nothing of the journal was kept ("" when it was the run's)
};

// Whether the folder holds a run that a sweep of inputs `now` may resume:
// a manifest (`recorded`) that names its run by an id and records the same
// inputs. The refusal says what is missing or which inputs differ (false
// with `why`). Reads only; the command line asks it before any step.
bool check_resumable(const run_inputs& now, run_manifest& recorded, std::string& why, const run_files& files = {});

// For a resumed sweep: checks the folder as check_resumable does, then
// keeps every row of the journal of the manifest's run (a journal of
// another run or of none keeps nothing: every shape is computed again, and
// `out.note` says why) that is of a shape of the grid, with finite fits,
// and whose lightcurve file is whole (its size and checksum as journalled),
// putting its fit into `table`. Each kept shape's block fits go into
// `block_fits` (`blocks` per shape).
bool take_over_run(const run_inputs& now, std::vector<shape_result>& table, std::vector<block_fit>& block_fits,
                   int32_t blocks, taken_over& out, std::string& why, const run_files& files = {});

// Whether the journal's path can hold the journal: missing, or a regular
// file (a folder or a device there would stop the sweep only after the
// previous run's files were removed); false with `why`.
bool check_journal_path(const run_files& files, std::string& why);

// Makes the folder describe the new run only: removes the summary, the
// partial summary and every plain lightcurve file that is not kept (those
// of other runs, and all numbered above the grid), and every symbolic link
// at such a name (never what it leads to); folders and other files of such
// names are left alone. A shard (`own` not empty: 1 per shape it
// computes) removes only its own table files and the lightcurve files of
// its own shapes, so that the other shards' work stays. Temporaries that a
// stopped run left of the files this run writes alone go too. False with
// `why` when a file could not be removed.
bool clear_run_folder(const std::vector<uint8_t>& finished, std::string& why, const run_files& files = {},
                      const std::vector<uint8_t>& own = {});
