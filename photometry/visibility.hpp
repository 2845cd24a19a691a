#pragma once

#include <cstdint>
#include <vector>

#include "common/facet.hpp"
#include "common/mat3.hpp"
#include "common/status_ops.hpp"
#include "common/vec3.hpp"
#include "photometry/facet_geometry.hpp"

// A facet projected into a direction frame; centre.z is the height toward
// the direction and the sort key.
struct proj_facet {
    vec3 centre;
    vec3 corner[3];
    double x_min;
    double x_max;
    double y_min;
    double y_max;
    int32_t index;  // 0-based facet index
};

// One sample's illumination and visibility: a sun pass, then an earth pass.
// `vis_bytes` and `records` are released and replaced. Returns the number
// of facets facing the earth; 0 when none does (then every byte is 0) or
// when an array was not obtained. A failure is told apart by the handles:
// after a success both hold `facet_count` entries; after a failure one of
// them is empty (`records` when it was the record array, and then
// `vis_bytes` still holds the bytes of an earlier sample), and the bytes
// are missing or stale and must not be read. A zero or non-finite earth or
// sun vector faces no facet: every byte ends 0.
int comp_visibility(std::vector<uint8_t>& vis_bytes, std::vector<proj_facet>& records, const vec3* vertices,
                    const facet* facets, const vec3* centres, const facet_normal* normals, int32_t facet_count,
                    const mat3& body_rot, const mat3& earth_frame, const mat3& sun_frame, vec3 earth, vec3 sun,
                    status_ops* ui = nullptr);

// One projection pass toward the unit body-frame `direction`: updates the
// bytes, writes one record per facet facing it, sorts them by depth. A
// zero or non-finite direction faces nothing: every byte becomes 0.
int project_facets(const mat3& frame, const vec3* vertices, const facet* facets, const vec3* centres,
                   proj_facet* records, const facet_normal* normals, int32_t facet_count, uint8_t* vis_bytes,
                   vec3 direction);

// The byte of a facet facing a pass's direction with cosine c > 0, given
// its byte w before the pass (255 untouched): trunc(254 c) in the sun pass,
// trunc(min(254, w (1 / (w / 254 + c) + 0.1))) in the earth pass.
inline uint8_t pass_byte(uint8_t w, double c)
{
    double v;
    if (w == 255) {
        v = c * 254.0;
    } else if (w == 0) {
        // An unlit facet stays unlit; the general formula would give 0 as
        // well, except for a cosine so small that 1 / c overflows (inf * 0).
        return 0;
    } else {
        v = (1.0 / (w / 254.0 + c) + 0.1) * w;
    }
    // The cap also holds the sun pass below 255 when rounding lets a unit
    // cosine exceed 1.
    if (v > 254.0) v = 254.0;
    return static_cast<uint8_t>(v);
}

// Whether (px, py) lies strictly inside the triangle with corners q1, q2,
// q3 and edges e1 = q2 - q1, e2 = q3 - q2, e3 = q1 - q3, whatever its
// winding: all three edge products have the sign of the first, none zero.
// A point on an edge is outside. The caller makes the bounding-box test.
inline bool inside_by_signs(double px, double py, double q1x, double q1y, double q2x, double q2y, double q3x,
                            double q3y, double e1x, double e1y, double e2x, double e2y, double e3x, double e3y)
{
    const double s1 = e1x * (py - q1y) - e1y * (px - q1x);
    const double s2 = e2x * (py - q2y) - e2y * (px - q2x);
    const double s3 = e3x * (py - q3y) - e3y * (px - q3x);
    return s2 * s1 > 0 && s3 * s1 > 0;
}

// Depth order: lower centre z first, equal heights by facet index, so the
// result never depends on the sort. Centre heights must not be NaN.
bool cmp_depth(const proj_facet& a, const proj_facet& b);

// The straightforward covering test over sorted records: clears the byte
// of every record whose projected centre lies strictly inside a later
// record's triangle. Returns the count of records left nonzero, or -1 when
// the scratch array was not obtained.
int comp_occlusion(int32_t n, const proj_facet* records, uint8_t* vis_bytes, status_ops* ui = nullptr);
