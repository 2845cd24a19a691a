#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/mesh.hpp"
#include "lightcurve/obs_set.hpp"
#include "lightcurve/ref_curve.hpp"
#include "photometry/facet_view.hpp"
#include "runs/refinement_reader.hpp"
#include "runs/run_manifest.hpp"
#include "runs/spin_results.hpp"
#include "runs/summary_table.hpp"
#include "sweep/sweep_records.hpp"

// A finished (or stopped) run as its folder holds it: the manifest, the
// summary table and the samples it fitted. Read from files only, so that
// a run computed elsewhere can be looked at here.
struct run_results {
    std::string folder;
    run_manifest manifest;
    std::vector<summary_row> rows;  // output/main.txt (or main.partial.txt), in file order
    std::string table_file;         // which of the two was read
    std::shared_ptr<const ref_curve> reference;
    obs_set observations;
    std::shared_ptr<const mesh> base;  // rebuilt from the recorded subdivisions
    // The refinement's files, read when the manifest records a refinement
    // (--refine); absent otherwise, or when they could not be read, which
    // `refinement_problem` then says (the rest of the run is read all the same).
    std::optional<refinement_files> refinement;
    std::string refinement_problem;
    // The spin search's rows (output/spins.txt), read when the manifest
    // records a search; empty otherwise, or when they could not be read,
    // which `spins_problem` then says.
    std::vector<spin_row> spins;
    std::vector<spin_fit> searched;  // every level's spins, from output/spins.journal
    std::string spins_problem;
};

// Reads the run of `folder` ("." for here): false with `why` when the
// manifest, the summary table or the samples are missing or malformed, or
// the base shape cannot be built. A refinement's files that cannot be read
// refuse nothing: they are left out, with the reason.
bool read_run(const std::string& folder, run_results& run, std::string& why);

// Points of the rotation curve: one per degree, 0 to 360.
constexpr int32_t rotation_points = 361;

// What the figures show of one shape, all computed with the model itself.
struct shape_curves {
    int32_t shape = 0;
    double params[param::count] = {};
    int32_t block_count = 1;
    std::vector<double> magnitudes;  // synthetic, one per reference sample
    std::vector<double> fitted;      // placed on the reference as the fit placed them
    std::vector<block_fit> fits;     // per block
    double misfit = 0.0;
    double best_shift = 0.0;
    // The rotation curve at the geometry of `view_sample`: phase in degrees
    // after that sample's, and magnitude.
    std::vector<double> rotation_deg;
    std::vector<double> rotation_mag;
    // The shape seen from the earth at `view_sample`, and along +x, +y, +z.
    int32_t view_sample = 0;
    double view_time = 0.0;         // that sample's Julian date
    int32_t view_block = -1;        // its block (-1: the whole file)
    vec3 view_spin_axis{};          // the spin axis (north) in the earth view: x right, y up, z toward the earth
    vec3 view_sun{};                // the unit direction toward the sun in the earth view
    vec3 body_sun{}, body_earth{};  // the unit directions toward the sun and the earth in the body's axes
    double km_per_unit = 0.0;       // the shape's size: km per model unit (0: not known)
    std::vector<viewed_facet> earth_view;
    std::array<std::vector<viewed_facet>, 3> axis_views;
};

// Computes the curves and views of shape `shape` of the run's grid, seen at
// reference sample `view_sample`. False with `why` when the grid has no
// such shape or the model fails (memory).
bool compute_shape_curves(const run_results& run, int32_t shape, int32_t view_sample, shape_curves& curves,
                          std::string& why);
