#pragma once

#include <string>
#include <utility>
#include <vector>

// What `morvane-cli synth` makes: an observation file of one shape seen
// under a simple geometry. The sun lies along ecliptic +x; the earth lies in
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
};

// Writes the file; returns an empty string or the reason it failed.
std::string run_synth(const synth_options& options);
