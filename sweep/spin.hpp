#pragma once

#include <string>

#include "sweep/sweep_records.hpp"

// The spin state as typed (degrees, hours, a Julian date) and as used
// (radians and days).
struct spin_state {
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double phi0_deg = 0.0;
    double period_hours = 0.0;
    double lambda = 0.0;  // radians
    double beta = 0.0;    // radians
    double phi0 = 0.0;    // radians
    double period = 0.0;  // days
    double t0 = 0.0;      // Julian date, or 0
};

// Whether a typed spin state lies in its ranges, checked in the order
// longitude, latitude, phase, period, epoch, every comparison written so
// that NaN fails it; false with the refusal in `why`.
bool check_spin_ranges(const spin_state& spin, std::string& why);

// Converts the typed spin state into the units the sweep uses: radians and
// days.
void convert_spin(spin_state& spin);

// The converted spin state as the sweep takes it.
sweep_spin used_spin(const spin_state& spin);

// The spin state typed in degrees, hours and a Julian date (lambda, beta,
// period, epoch, phase), in the sweep's units.
sweep_spin typed_spin(double lambda_deg, double beta_deg, double period_hours, double t0, double phi0_deg);
