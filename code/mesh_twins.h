// Half-edge connectivity of a well-formed mesh, built on several threads by
// pairing every corner with its twin through the corners listed by origin.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// mesh_build's connectivity of g's faces, the same in every entry, built on
// up to `threads` threads by pairing every corner with its twin; a mesh with
// a fault (a vertex past the count, a face that names a vertex twice, a
// directed edge on two faces), or with counts of corners or vertices past 32
// bits, goes to mesh_build, which names the first fault. Returns as
// mesh_build does.
subdiv_status mesh_build_paired(mesh* m, geom* g, uint32_t threads, subdiv_error* error);

} // namespace subdiv
