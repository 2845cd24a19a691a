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
int comp_visibility(std::vector<uint8_t>& vis_bytes, std::vector<proj_facet>& records,
                    const vec3* vertices, const facet* facets, const vec3* centres,
                    const facet_normal* normals, int32_t facet_count, const mat3& body_rot,
                    const mat3& earth_frame, const mat3& sun_frame, vec3 earth, vec3 sun,
                    status_ops* ui = nullptr);

// One projection pass toward the unit body-frame `direction`: updates the
// bytes, writes one record per facet facing it, sorts them by depth. A
// zero or non-finite direction faces nothing: every byte becomes 0.
int project_facets(const mat3& frame, const vec3* vertices, const facet* facets, const vec3* centres,
                   proj_facet* records, const facet_normal* normals, int32_t facet_count,
                   uint8_t* vis_bytes, vec3 direction);

// Depth order: lower centre z first, equal heights by facet index, so the
// result never depends on the sort. Centre heights must not be NaN.
bool cmp_depth(const proj_facet& a, const proj_facet& b);

// The straightforward covering test over sorted records: clears the byte
// of every record whose projected centre lies strictly inside a later
// record's triangle. Returns the count of records left nonzero, or -1 when
// the scratch array was not obtained.
int comp_occlusion(int32_t n, const proj_facet* records, uint8_t* vis_bytes, status_ops* ui = nullptr);
