#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/controller.hpp"
#include "sweep/shape_grid.hpp"

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

// Step, thread count and fit mode, and the size of the grid they give (refused when
// the step is not above 0 or gives more than INT_MAX shapes).
command_outcome check_shapes_fields(app_state& app, sweep_plan& plan);

// Proves "output" usable: created when missing, and written with a probe
// file that is removed again. Without `keep` a folder it made is removed too.
command_outcome check_output_folder(bool keep);

// Vertex records of the base shape of n subdivisions (both spheres).
int64_t base_vertex_count(int n);

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
// lightcurve file, on a base of `vertex_count` vertices and `threads`
// threads, for `blocks` lightcurve blocks; the disk is the one of "output" (or of the working folder).
sweep_needs estimate_sweep_needs(int64_t shapes, int64_t new_files, int64_t vertex_count, int threads,
                                 int blocks = 1);

// "" when the needs fit; otherwise the refusal, with the figures, and the
// time it would take when `seconds_per_shape` is known (> 0).
std::string sweep_size_refusal(const sweep_needs& needs, double seconds_per_shape, int threads);

// Reads the observation file at `path` and resamples it, in memory only:
// refused when the file is not a valid observation file, when its
// resampled reference is not finite, or when `spin` (converted) makes the
// rotation phases meaningless (a period far too short or too long).
command_outcome read_observations(app_state& app, const std::string& path, const spin_state& spin,
                                  obs_set& observations, std::shared_ptr<ref_curve>& reference);

// Why a typed spin state is refused ("" when it is not): its ranges
// checked in the order longitude, latitude, phase, period, epoch, every
// comparison written so that NaN fails it.
std::string spin_range_refusal(const spin_state& s);

// Converts the typed spin state into the units the sweep uses: radians and
// days.
void convert_spin(spin_state& spin);

// The spin state typed in degrees, hours and a Julian date (lambda, beta,
// period, epoch, phase), in the sweep's units.
sweep_spin typed_spin(double lambda_deg, double beta_deg, double period_hours, double t0, double phi0_deg);

// The last step a run goes to.
enum class pipeline_end { geosphere, load, sweep };

// Every check of the steps up to `last`, before the first of them runs, so
// that a refused option leaves no file behind: the fields, the observation
// file (a regular file), the grid, the output folder, and the memory and
// disk the sweep needs (its refusal timing a few shapes in memory for the
// estimate it gives).
command_outcome check_pipeline(app_state& app, pipeline_end last);
