// Upper bounds on the memory a refinement holds at once, checked before the
// work starts so that a job too large for the machine is refused with the
// numbers instead of failing half way.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

// The counts of a mesh at one level of a refinement.
struct level_counts {
    unsigned __int128 vertices;
    unsigned __int128 faces;
    unsigned __int128 edges;
    unsigned __int128 corners; // face corners over all faces
};

// An upper bound on the bytes that mesh_build holds at once for a mesh of
// these vertices, faces and corners (whatever its edges), the caller's geom
// of face_size (3 or 4) included: the half-edge arrays at their largest,
// the edge map at its largest, the checks' tables.
unsigned __int128 memory_bound_build(uint64_t n_vertices, uint64_t n_faces, int face_size);

// The counts after one step of the scheme for faces of face_size corners
// (3: Loop; 4: Catmull-Clark).
level_counts memory_bound_step_counts(level_counts level, int face_size);

// An upper bound on the bytes that count iterations of the scheme for faces
// of face_size corners hold at once, starting from the connectivity of
// input (whose counts are those of the built mesh), the caller's geom
// included. count 0 bounds the copy of the input.
unsigned __int128 memory_bound_iterations(level_counts input, int face_size, int32_t count);
