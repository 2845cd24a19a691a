#pragma once

// A position or a direction: three doubles.
struct vec3 {
    double x;
    double y;
    double z;
};
