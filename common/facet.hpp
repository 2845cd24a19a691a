#pragma once

#include <cstdint>

// A triangle as three 1-based vertex indices, counter-clockwise seen from
// outside, so that (second - first) x (third - first) points outward.
struct facet {
    int32_t a;
    int32_t b;
    int32_t c;
};
