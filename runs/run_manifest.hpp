#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The file that describes the run of an output folder.
constexpr const char* manifest_file = "output/run.json";

// What a sweep's results depend on; a resumed sweep must match them all.
struct run_inputs {
    std::string observation_file;    // as given
    std::string observation_sha256;  // of the bytes that were loaded
    int32_t block = -1;              // -1: every block
    std::string blocks;              // the joint fit's list ("" for none)
    std::string fit = "range";       // range, offset or chi2
    double sigma = 0.0;              // the chi2 fit's sigma of every point, mag (0: estimated per block)
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double phi0_deg = 0.0;
    double period_hours = 0.0;
    double t0 = 0.0;
    double step = 0.0;
    int32_t subdivisions = 0;
    bool no_curves = false;  // no lightcurve file per shape
};

// The refinement that followed a chi2 sweep (--refine): what it was asked
// and its best model's fit.
struct refinement_record {
    int32_t starts = 0;  // K, the grid rows refined from (0: no refinement)
    int32_t subdivisions = 0;
    bool spin = false;  // lambda, beta and the period refined too
    double best_chi2 = 0.0;
    double reduced_chi2 = 0.0;
    double rms_mag = 0.0;  // NaN when unknown (null in the file)
    int64_t evaluations = 0;
};

// The spin search that chose the run's spin state (--pole-nside): its
// grid, its levels and the spin it found.
struct spin_search_record {
    int32_t nside = 0;  // of the first level (0: no search)
    int32_t levels = 0;
    int32_t scan_subdivisions = 0;  // the first level's model
    int32_t carry = 0;              // a level's best spins passed on, at least
    double period_first_h = 0.0;
    double period_last_h = 0.0;
    int32_t periods = 0;
    int64_t spins = 0;  // tried, over every level
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double period_h = 0.0;
    double phi0_deg = 0.0;
    double best_chi2 = 0.0;
    double reduced_chi2 = 0.0;
    double seconds = 0.0;
    // Each level: its resolution and model, the spins it tried, how many
    // of them lay under its threshold, the threshold and its time.
    struct level {
        int32_t nside = 0;
        int32_t subdivisions = 0;
        int64_t spins = 0;
        int64_t under = 0;
        double threshold = 0.0;
        double seconds = 0.0;
    };
    std::vector<level> each_level;
};

// The record of one run: its inputs, how it ran, and how it ended.
struct run_manifest {
    run_inputs inputs;
    // The run's own random id, which its journal's first line repeats, so
    // that a resume never takes another run's rows; "" in a manifest
    // written before runs had one.
    std::string run_id;
    int32_t threads = 0;
    std::string sweep_path;  // "fast" or "reference"
    std::string version;     // of the program
    int64_t shapes = 0;      // of the grid
    int64_t progress_steps = 0;
    int64_t finished_shapes = 0;  // with their file and row, at the end
    int64_t resumed_shapes = 0;   // taken over from an interrupted run
    std::string started;          // UTC, ISO 8601
    std::string ended;            // "" while running
    std::string status;           // running, complete, cancelled or failed
    std::string reason;           // why it failed
    int32_t shard = 0;            // shard K of `shards` (0: the whole sweep)
    int32_t shards = 0;
    int32_t ranks = 0;                       // MPI ranks that computed it (0: one process)
    std::vector<std::string> load_warnings;  // what the load warned of ("load_warnings", only when any)
    refinement_record refinement;            // "refinement" in the file, only when starts > 0
    spin_search_record spin_search;          // "spin_search" in the file, only when nside > 0
};

// The program's version.
const char* program_version();

// A new run id: 128 bits from the system's random source as 32 lower-case
// hexadecimal digits; false with `why` when the source gave none.
bool new_run_id(std::string& id, std::string& why);

// The current time in UTC as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_now();

// The most shards a run may be split into (--shard K/S, S at most this).
constexpr int32_t max_shards = 100000;

// The most bytes a manifest may have (one is about a kilobyte).
constexpr std::size_t max_manifest_bytes = 1 << 20;

// The manifest as the JSON text write_manifest writes (bytes of a text that
// are not UTF-8 as U+FFFD).
std::string manifest_text(const run_manifest& manifest);

// Writes the manifest as JSON through a temporary file renamed into place;
// false with `why` when it could not be written.
bool write_manifest(const std::string& path, const run_manifest& manifest, std::string& why);

// Reads a manifest from its text, `origin` naming it in refusals. Every
// field is checked for its type and range before it is used: the texts
// are texts, the counts whole numbers, the numbers finite; the status, the
// sweep path and the fit are words a sweep writes, the spin state, the
// subdivisions, the threads, the block and the shard lie where the options
// allow them, and the grid's shape and progress counts are those count_grid
// gives for the recorded step (at most INT32_MAX shapes), the finished and
// resumed counts at most that. False with `why` when anything is not so.
bool parse_manifest(const std::string& text, const std::string& origin, run_manifest& manifest, std::string& why);

// Reads a manifest file (at most max_manifest_bytes) with parse_manifest;
// false with `why` when it is missing, cannot be read or is not one.
bool read_manifest(const std::string& path, run_manifest& manifest, std::string& why);

// How `now` differs from `recorded`, one "name: recorded -> now" per
// difference separated by "; ", or "" when they match.
std::string input_differences(const run_inputs& recorded, const run_inputs& now);
