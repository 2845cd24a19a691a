#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "inversion/model_space.hpp"

// The files a chi2 run's refinement (morvane-cli --refine) writes beside
// its table, read back for the report and the figures.
constexpr const char* refined_file = "output/refined.txt";
constexpr const char* uncertainty_file = "output/uncertainty.json";

// The most bytes each may have (one is a few kilobytes; refined.txt grows
// by a line of about 130 bytes per start).
constexpr std::size_t max_uncertainty_bytes = 1 << 20;
constexpr std::size_t max_refined_bytes = 1 << 22;

// One parameter's acceptable range: its best value and the extremes of the
// models under the threshold.
struct accepted_range {
    bool listed = false;  // the file names the parameter
    double best = 0.0;
    double min = 0.0;
    double max = 0.0;
};

// One parameter's leave-one-block-out spread and extremes (NaN where the
// file has null).
struct jackknife_range {
    bool listed = false;
    double spread = 0.0;
    double min = 0.0;
    double max = 0.0;
};

// output/uncertainty.json: the acceptance threshold, each refined
// parameter's range, the jackknife and the parameters at a bound. The
// parameters are indexed by model_param; names the file has that no
// parameter has are left out.
struct uncertainty_record {
    double chi2_min = 0.0;
    double nu = 0.0;
    double threshold = 0.0;  // in chi2 units: chi2_min (1 + sqrt(2 / nu))
    double sigma_inflation = 1.0;
    std::array<accepted_range, model_param::count> ranges{};
    int32_t jackknife_blocks = 0;  // 0: no jackknife (a single block)
    std::array<jackknife_range, model_param::count> jackknife{};
    std::vector<int> at_bound;  // as listed
};

// One refined solution, a line of output/refined.txt.
struct refined_row {
    int32_t start_shape = 0;  // the grid row it started from, 0 for the global stage
    model_point x{};          // NaN where the header names no column
    double chi2 = 0.0;        // NaN for a start the model could not evaluate
    double reduced_chi2 = 0.0;
    double rms_mag = 0.0;  // NaN when unknown
    int64_t evaluations = 0;
};

// output/refined.txt: the parameters its header names (model_param, in its
// order) and the solutions, best first as written.
struct refined_table {
    std::vector<int> params;
    std::vector<refined_row> rows;
};

// Both files of a refinement.
struct refinement_files {
    uncertainty_record uncertainty;
    refined_table refined;
};

// Reads uncertainty.json from its text, `origin` naming it in refusals:
// a JSON object nesting no deeper than the file does, with finite numbers
// chi2_min >= 0, nu > 0, threshold >= chi2_min and sigma_inflation >= 1;
// "parameters" an object of {"best", "min", "max"} (finite, min <= max);
// "jackknife" null, missing, or {"blocks": 2 or more, name: {"spread",
// "min", "max"}} (each finite or null, the spread not negative);
// "at_bound" a list of names. Unknown names are skipped. False with `why`.
bool parse_uncertainty(const std::string& text, const std::string& origin, uncertainty_record& out, std::string& why);

// Reads refined.txt from its text: a header line "# NAME ..." naming
// start_shape, the six shape parameters, chi2, reduced_chi2, rms_mag and
// evaluations (in any order; other known parameters are read too, unknown
// columns skipped), then at least one line of as many blank-separated
// fields: whole numbers for the start and the evaluations, finite
// parameters, chi2, reduced chi2 and rms finite and not negative or "nan"
// (the first line's chi2 finite). False with `why` ("ORIGIN:LINE: ...").
bool parse_refined(const std::string& text, const std::string& origin, refined_table& out, std::string& why);

// Reads both files of the run in `folder` ("." for here), each a regular
// file of at most its size; false with `why` when either is missing,
// cannot be read or is not what the refinement writes.
bool read_refinement_files(const std::string& folder, refinement_files& out, std::string& why);
