#pragma once

#include "common/mat3.hpp"
#include "common/vec3.hpp"

// E(phi, theta, psi) = Z(psi) . X(theta) . Z(phi), rotations of the axes.
mat3 euler_matrix(double phi, double theta, double psi);

// The body rotation (ecliptic -> body) and the earth and sun frame matrices
// (body -> direction frame, third axis toward the earth or the sun) of one
// sample. Angles in radians; only the directions of the vectors matter.
// A zero or non-finite vector is taken as longitude 0, latitude 0 (its
// frame is well formed but meaningless; body_direction gives it no
// direction, so nothing faces it).
void comp_view_matrices(mat3& body_rot, mat3& earth_frame, mat3& sun_frame, vec3 earth, vec3 sun, double lambda,
                        double beta, double phi);

// The unit body-frame direction of an ecliptic vector: body_rot . v divided
// by its length. A vector that is zero, non-finite or rotated to zero gives
// (0, 0, 0), which faces no facet.
vec3 body_direction(const mat3& body_rot, vec3 v);

// The sun-body-earth angle (the phase angle) in degrees, from the body's
// vectors toward the sun and the earth.
double phase_angle_deg(const vec3& sun, const vec3& earth);

// The aspect: the latitude of the sub-earth point on the body, in degrees
// (90 pole-on from the north, 0 equator-on), for the pole at ecliptic
// lambda, beta (degrees) as the model takes them.
double sub_earth_latitude_deg(const vec3& earth, double lambda_deg, double beta_deg);
