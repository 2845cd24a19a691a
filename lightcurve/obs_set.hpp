#pragma once

#include <cstdint>
#include <vector>

#include "common/phot_point.hpp"
#include "common/vec3.hpp"

// The observations as read, in file order, all lightcurve blocks in one run.
struct obs_set {
    int32_t count = 0;
    std::vector<double> times;           // Julian dates
    std::vector<phot_point> photometry;  // magnitude, sigma 0.01, filter V, block index
    std::vector<vec3> sun;               // body -> sun, ecliptic
    std::vector<vec3> earth;             // body -> earth, ecliptic
};
