#pragma once

#include "common/mesh.hpp"

// Replaces whatever `m` holds by the seed icosahedron: five sectors of eight
// vertex records and four facets each (20 facets, 40 records, 12 distinct
// positions). Returns 1, or 0 when the arrays could not be allocated.
int make_icosahedron(mesh& m);

// Replaces `m` by its 1-to-4 refinement, the new vertices pushed onto the
// unit sphere: six vertex records and four facets per old facet. Returns 1;
// returns 0 and leaves `m` exactly as it was when it has no vertex array or
// the new arrays cannot be allocated.
int subdivide_mesh(mesh& m);
