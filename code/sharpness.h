// Sharp features through a refinement: the sharpness of the input's edges
// and vertices (named by its crease list and vertex sharpness, and made by
// a crease angle), carried by each level's connectivity (mesh.h), and what
// is left of it after the last level, as a record carries it.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// The creases of a list by their ends, to look edges up among: each pair
// of ends (either way round) gives the crease of the largest sharpness with
// those ends. Built with crease_index_build, released with
// crease_index_free.
struct crease_index {
    uint64_t* ends;    // 2 capacity entries: the lower and the higher end of each slot's key
    uint64_t* crease;  // capacity entries: the crease of each slot, UINT64_MAX when empty
    uint64_t capacity; // a power of two, at least twice the creases
};

// Indexes the n creases of the list (2n ends, n sharpness values). Returns
// false, holding nothing, when memory is refused.
bool crease_index_build(crease_index* index, const uint64_t* ends, const float* sharpness,
                        uint64_t n);

// The index of the crease from a to b (or b to a), or UINT64_MAX for none.
uint64_t crease_index_find(const crease_index* index, uint64_t a, uint64_t b);

void crease_index_free(crease_index* index);

// The first of the n creases (2n ends) whose entry in the index, found
// (per crease of the list, set where an edge met it), is 0; n when none.
// On up to `threads` threads.
uint64_t crease_first_missing(const crease_index* index, const uint64_t* ends, uint64_t n,
                              const uint8_t* found, uint32_t threads);

// Whether *g names sharp features (creases or vertex sharpness), or a
// crease angle may make some.
bool sharpness_named(const geom* g, double crease_angle);

// Gives *m, the connectivity of *g from mesh_build, the sharpness of the
// level's edges and vertices: each crease of *g on its edge (the larger of
// two on one edge), every interior edge whose faces' normals differ by more
// than crease_angle degrees at 10 (0 < crease_angle < 180; 0 makes none),
// the boundary edges at 10, and *g's vertex sharpness, on up to `threads`
// threads. Leaves both arrays
// null when sharpness_named is false. Returns subdiv_ok, or with *error
// filled and *m's sharpness released: subdiv_error_usage (a vertex out of
// range, a sharpness negative or not finite, an angle outside (0, 180)),
// subdiv_error_mesh (a crease whose ends no face joins) or
// subdiv_error_memory.
subdiv_status sharpness_begin(const geom* g, mesh* m, double crease_angle, uint32_t threads,
                              subdiv_error* error);

// What is left of the sharpness of *m (the connectivity of *g) after no
// step, into *out's crease list and vertex sharpness (which must hold none):
// its sharp edges that are not on the boundary in edge order, each from the
// origin of its even half-edge, and its vertices' sharpness, but at the
// boundary's implicit corners (one face, corners not smooth). Returns false
// when the memory is refused.
bool sharpness_output_level(const mesh* m, const geom* g, bool smooth_corners, geom* out);

// The same after one step of *parent (connectivity *m) into *out, whose
// vertices are parent's, then new ones, the edge point of parent edge e at
// edge_point_base + e: for each parent edge e in order that is not on the
// boundary and leaves sharpness d > 0 to the next level, the half at its
// origin (origin, edge point, d), then the other (end, edge point, d); each
// old vertex keeps what its sharpness leaves. Returns false when the memory
// is refused.
bool sharpness_output_step(const mesh* m, const geom* parent, uint64_t edge_point_base,
                           bool smooth_corners, geom* out);

} // namespace subdiv
