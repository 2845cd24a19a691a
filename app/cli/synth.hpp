#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/vec3.hpp"
#include "lightcurve/lc_reader.hpp"

// What `morvane-cli synth` makes: an observation file of one shape, seen
// either under a simple invented geometry or at the times and geometry of
// chosen blocks of a real observation file (`like`).
//
// The invented geometry: the sun lies along ecliptic +x; the earth lies in
// the ecliptic at `phase_deg` from the sun, both at fixed distances, so the
// phase angle stays constant. `points` observations are spread evenly over
// `hours`, starting at Julian date `start`.
struct synth_options {
    std::string output = "test.zel";
    int subdivisions = 3;
    double shape[6] = {1.0, 0.5, 0.6, 0.3, 0.15, 0.9};  // y1 z1 x2 y2 z2 x_shift
    double lambda_deg = 90.0;
    double beta_deg = 90.0;
    double phi0_deg = 90.0;
    double period_hours = 21.9;
    double t0 = 0.0;
    double phase_deg = 20.0;
    double start = 2451545.0;
    double hours = 21.9;
    int points = 1500;
    // Several geometries, one block each, as (phase angle, sub-earth
    // latitude) in degrees; empty for the single ecliptic block above. The
    // latitude is measured from the body's equator (the pole is lambda,
    // beta); the sun lies in the plane of the pole and the earth, at the
    // phase angle from the earth. Each block has `points` observations over
    // `hours`, the blocks 30 days apart.
    std::vector<std::pair<double, double>> geometries;
    // The real geometry: an observation file ("" for the invented one) and
    // which of its blocks (a list, empty for all) give their times and sun
    // and earth vectors; each keeps its number in the written file.
    std::string like;
    block_selection like_blocks{false, {}};
    // Relative photometry: with `noisy`, each block is moved by a random
    // zero point and each magnitude gets Gaussian noise of `noise_mag`
    // (synth_noise.hpp), drawn from `seed`.
    bool noisy = false;
    double noise_mag = 0.0;
    uint64_t seed = 1;
};

// Where and when a synthetic file is computed: per observation its time,
// its sun and earth vectors (body to sun, body to earth, ecliptic) and the
// number its block has in the written file (runs of equal, ascending
// numbers).
struct synth_geometry {
    std::vector<double> times;
    std::vector<vec3> suns;
    std::vector<vec3> earths;
    std::vector<int32_t> blocks;
};

// The largest noise synth adds, in mag.
constexpr double max_noise_mag = 1.0;

// Whether the six values y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2
// x_shift lie in the ranges the sweep's grid spans, as intervals (any value
// in them, not only the grid's): y_scale_1 in [0.5, 1], z_scale_1 in
// [y_scale_1 / 2, y_scale_1], x_scale_2 in [0.1, 1], y_scale_2 in
// [x_scale_2 / 2, x_scale_2], z_scale_2 in [y_scale_2 / 2, y_scale_2],
// x_shift in [1 - x_scale_2, 1 + x_scale_2]; a bound holds to 1e-9. False
// with the first value outside in `why`.
bool check_synth_shape(const double shape[6], std::string& why);

// The invented geometry of the options (one block per geometry, numbered
// from 0).
synth_geometry invented_geometry(const synth_options& options);

// The times and vectors of the chosen blocks of the observation file
// `path`, read as a sweep with --blocks reads them, each block keeping its
// number. False with the reader's reason in `why`.
bool like_geometry(const std::string& path, const block_selection& blocks, synth_geometry& out, std::string& why);

// The shape's brightness at every point of `geometry`, computed as the
// sweep's fast path computes it. False with `why` when memory ran out.
bool synth_brightness(const synth_options& options, const synth_geometry& geometry, std::vector<double>& brightness,
                      std::string& why);

// The options' noise applied to `brightness` through magnitudes
// (m = log10(b) * -2.5, the sweep's magnitude; b = 10^(-0.4 m) again);
// nothing without `noisy`.
void apply_noise(const synth_options& options, const synth_geometry& geometry, std::vector<double>& brightness);

// How a synth run ended: `reason` is empty when the file was written;
// `refused` when it stopped before any work (nothing written).
struct synth_result {
    std::string reason;
    bool refused = false;
};

// Checks the options and writes the file.
synth_result run_synth(const synth_options& options);
