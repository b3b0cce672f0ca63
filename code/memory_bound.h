// Upper bounds on the memory a refinement holds at once, checked before the
// work starts so that a job too large for the machine is refused with the
// numbers instead of failing half way.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

namespace subdiv {

// The counts of a mesh at one level of a refinement.
struct level_counts {
    unsigned __int128 vertices;
    unsigned __int128 faces;
    unsigned __int128 edges;
    unsigned __int128 corners; // face corners over all faces
    int face_size;             // 3 or 4, or 0 for faces of any sizes
    unsigned __int128 texcoords; // texture coordinates (an upper bound past the input), 0 without
    bool texcoord_corners;     // whether the faces carry texture coordinates
    bool materials;            // whether the faces carry materials
    bool sharpness;            // whether edges and vertices carry sharpness
    unsigned __int128 creases; // the creases the input names
    unsigned __int128 most_edges; // the largest valence of a vertex, 0 when not known
    uint32_t uv_ring_threads;  // texture coordinates in a mode other than linear, whose steps
                               // walk each vertex's ring on this many threads; 0 for none
};

// An upper bound on the bytes that mesh_build holds at once for a mesh of
// these counts (whatever its edges), the caller's geom included: the
// half-edge arrays at their largest, the edge map at its largest, the
// checks' tables.
unsigned __int128 memory_bound_build(level_counts input);

// The counts after one step of the scheme (Loop or Catmull-Clark).
level_counts memory_bound_step_counts(level_counts level, subdiv_scheme scheme);

// An upper bound on the bytes that count iterations of the scheme hold at
// once, starting from the connectivity of input (whose counts are those of
// the built mesh), the caller's geom included. count 0 bounds the copy of
// the input. limit: the last level also gets its limit positions and
// normals, from its own connectivity. Texture coordinates in a mode other
// than linear (input.uv_ring_threads) count what their rings hold at each
// step.
unsigned __int128 memory_bound_iterations(level_counts input, subdiv_scheme scheme,
                                          int32_t count, bool limit);

// The same when the last level is written as it is made, on `threads`
// threads: the steps with connectivity up to the level two before the last,
// the positions of the level before the last, then that level seen as the
// children of the one before it while the last level's text is made (for
// one iteration, the input with its own connectivity). count 0 bounds the
// writing of the input. limit: the last level's limit positions or normals,
// for which the level before the last is held with its own connectivity, as
// it is for texture coordinates in a mode other than linear.
unsigned __int128 memory_bound_streamed(level_counts input, subdiv_scheme scheme, int32_t count,
                                        uint32_t threads, bool limit);

// The same when the last level is gathered into flat arrays as it is made
// (subdiv_refine_arrays): the streamed bound and the arrays, 3 floats per
// vertex and the face corners (with the offsets of faces of any sizes), and
// with limit 3 floats per vertex for the normals.
unsigned __int128 memory_bound_gathered(level_counts input, subdiv_scheme scheme, int32_t count,
                                        uint32_t threads, bool limit);

} // namespace subdiv
