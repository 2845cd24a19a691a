#pragma once

#include <cstdint>

// One photometric sample.
struct phot_point {
    double magnitude;
    double sigma;
    char filter;
    int32_t lc_number;
};
