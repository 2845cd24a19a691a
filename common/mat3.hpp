#pragma once

#include "common/vec3.hpp"

// A 3 x 3 matrix stored row by row: element (r, c) at m[3r + c].
struct mat3 {
    double m[9];
};

// M . v: row r of M times v gives component r, summed left to right.
inline vec3 apply(const mat3& M, const vec3& v)
{
    return {M.m[0] * v.x + M.m[1] * v.y + M.m[2] * v.z, M.m[3] * v.x + M.m[4] * v.y + M.m[5] * v.z,
            M.m[6] * v.x + M.m[7] * v.y + M.m[8] * v.z};
}
