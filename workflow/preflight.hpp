#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/mesh.hpp"
#include "inversion/noise_estimate.hpp"
#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"
#include "runs/run_manifest.hpp"
#include "sweep/shape_grid.hpp"
#include "sweep/spin.hpp"
#include "workflow/app_state.hpp"
#include "workflow/command_outcome.hpp"

// The checks each command makes before it does anything. They read the
// front end's fields and change nothing, so the command line can run them
// all before the first step writes a file.

// The subdivision count of field 1046, 1 to 10.
command_outcome check_geosphere_fields(app_state& app, int& n);

// The path and the spin fields: numbers in their ranges, and a path that
// names a regular file (never opened here, so a FIFO cannot block).
command_outcome check_load_fields(app_state& app, std::string& path, spin_state& typed);

// A sweep as its fields ask for it.
struct sweep_plan {
    double step = 0.0;
    int threads = 0;
    fit_mode fit = fit_mode::range;
    grid_count count;
};

// The grid of `step` as a sweep takes it: its size in `count`; false with
// the refusal in `why` when the step is not above 0 or gives more than
// INT_MAX shapes. Every front end's sweep asks this one rule.
bool check_sweep_grid(double step, grid_count& count, std::string& why);

// Step, thread count and fit mode, and the size of the grid they give (refused when
// the step is not above 0 or gives more than INT_MAX shapes).
command_outcome check_shapes_fields(app_state& app, sweep_plan& plan);

// The inputs a sweep records in its manifest and a resume compares: the
// observation file as named and by its SHA-256, the blocks field, the spin
// state as typed, the subdivisions, the grid's step, the fit and the curves.
run_inputs sweep_inputs(const app_state& app, const std::string& path, const std::string& sha256,
                        const spin_state& spin, const std::string& blocks, int32_t subdivisions,
                        const sweep_plan& plan);

// The refusal of a sweep of `plan` over the base of `subdivisions` passes
// against `reference` that would not fit: the machine's memory (with
// `extra_memory` bytes its caller holds beside the sweep's), or the output
// folder's disk and files with `new_files` lightcurve files to write; ""
// when it fits. Only a refused sweep is timed, on a few shapes in memory
// (on `base`, or a base built here when it is null), for the estimate the
// refusal gives. Every front end's sweep asks this one rule.
std::string sweep_size_refusal(const sweep_plan& plan, int subdivisions, std::shared_ptr<const mesh> base,
                               const std::shared_ptr<const ref_curve>& reference, const sweep_spin& spin,
                               int64_t new_files, double extra_memory = 0.0);

// Reads the observation file at `path` and resamples it, in memory only:
// refused when the file is not a valid observation file, when its
// resampled reference is not finite, or when `spin` (converted) makes the
// rotation phases meaningless (a period far too short or too long). For
// the chi2 fit (the fit field) the reference is the observed points of the
// chosen blocks (every block when none is chosen), each block's sigma
// app.sigma or estimated (into `sigmas` when given); refused when they
// leave no degree of freedom.
command_outcome read_observations(app_state& app, const std::string& path, const spin_state& spin,
                                  obs_set& observations, std::shared_ptr<ref_curve>& reference,
                                  std::vector<block_sigma>* sigmas = nullptr);

// The last step a run goes to.
enum class pipeline_end { geosphere, load, sweep };

// Every check of the steps up to `last`, before the first of them runs, so
// that a refused option leaves no file behind: the fields, the observation
// file (a regular file), the grid, for a resume the folder's run and its
// inputs against these, the journal's path, the output folder, and the
// memory and disk the sweep needs (its refusal timing a few shapes in
// memory for the estimate it gives).
command_outcome check_pipeline(app_state& app, pipeline_end last);
