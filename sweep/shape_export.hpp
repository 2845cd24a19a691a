#pragma once

#include <cstdint>
#include <string>

#include "common/mesh.hpp"
#include "mesh/weld.hpp"
#include "sweep/sweep_records.hpp"

// The seven parameters of shape `shape` (1-based) of the grid of `step`, as
// the sweep numbers them; false when the grid holds fewer shapes.
bool shape_parameters(double step, int32_t shape, double params[param::count]);

// The file formats of an exported shape.
enum class shape_format {
    obj,    // Wavefront OBJ: "v x y z" and "f i j k" lines, a comment naming the shape
    damit,  // DAMIT's shape file: "V F", then V lines "x y z", then F lines "i j k"
};

// How a shape is exported: as the sweep evaluated it (two welded shells)
// or as the one surface of the lobes' union, in the model's units or
// scaled to a volume-equivalent diameter in km.
struct shape_export_options {
    shape_format format = shape_format::obj;
    bool lobe_union = false;
    double diameter_km = 0.0;  // > 0: scaled so that the sphere of the union's volume has this diameter
};

// The mesh an export writes, with what it took to make it.
struct export_mesh {
    welded_mesh surface;
    double union_volume = 0.0;  // of the lobes' union in the model's units; 0 when not computed
    double scale = 1.0;         // applied to the model's coordinates
};

// The text name of a format ("obj", "damit"); false for another word.
bool parse_shape_format(const std::string& word, shape_format& format);

// Builds the mesh of `params` on `base` that `how` asks for: the two welded
// lobes, or their union checked to be one closed, 2-manifold, outward
// surface of Euler characteristic 2; scaled when a diameter is asked (the
// volume taken from the union in any case). False with `why` when the
// shape cannot be evaluated or the union fails a check: nothing to write.
bool build_export_mesh(const mesh& base, const double params[param::count], const shape_export_options& how,
                       export_mesh& out, std::string& why);

// Writes `m` in `format` through a temporary file renamed into place
// (the OBJ's comment names the shape of `params`). False with `why` when
// it cannot.
bool write_export_mesh(const export_mesh& m, const double params[param::count], const shape_export_options& how,
                       const std::string& path, std::string& why);

// Writes the shape of `params` built on `base` exactly as the sweep
// evaluates it (both lobes deformed and moved apart by x_shift) as a
// Wavefront OBJ with welded vertices and outward facets, through a
// temporary file renamed into place. False with `why` when it cannot.
bool write_shape_obj(const mesh& base, const double params[param::count], const std::string& path, std::string& why);
