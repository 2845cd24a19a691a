// The union of the lobes in a build made without CGAL (MORVANE_UNION=OFF).

#include "mesh/lobe_union.hpp"

bool lobe_union_built()
{
    return false;
}

bool unite_lobes(const welded_mesh&, int32_t, welded_mesh&, std::string& why)
{
    why = "this build lacks the union of the lobes (built with MORVANE_UNION=OFF)";
    return false;
}
