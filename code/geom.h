// The geometry record: positions and face corners as parallel arrays.
#pragma once

#include <cstddef>
#include <cstdint>


// A polygon mesh as parallel arrays. All faces have the same size, 3 or 4,
// held in the low four bits of flags. The record owns its arrays; a plain
// copy shares them and exactly one copy may be released.
struct geom {
    float* x;            // n_vertices entries: x of each vertex
    float* y;            // n_vertices entries: y of each vertex
    float* z;            // n_vertices entries: z of each vertex
    uint64_t* corner0;   // n_faces entries: zero-based vertex at corner 0 of each face
    uint64_t* corner1;   // n_faces entries: vertex at corner 1
    uint64_t* corner2;   // n_faces entries: vertex at corner 2
    uint64_t* corner3;   // n_faces entries: vertex at corner 3; null unless face size is 4
    uint64_t n_vertices; // number of vertices
    uint64_t n_faces;    // number of faces
    uint64_t n_edges;    // number of undirected edges (face size * n_faces / 2 when closed)
    uint64_t flags;      // bits 0-3: face size (3 or 4); all other bits 0
};

static_assert(sizeof(geom) == 88, "geom is eleven 64-bit words");
static_assert(offsetof(geom, corner0) == 24 && offsetof(geom, n_vertices) == 56 &&
                  offsetof(geom, flags) == 80,
              "geom field order");

// The face size of a record: flags masked with 0xF.
inline int geom_face_size(const geom* g) { return int(g->flags & 0xF); }

// Clears *g, then allocates x, y, z (n_vertices floats each) and corner0-2
// (n_faces indices each), and corner3 when face_size is 4; sets the counts and
// flags. Contents are uninitialised. What *g held is overwritten, not released.
void geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size);

// The first half of geom_alloc: clears *g, allocates x, y and z and sets the
// counts and flags; the corner arrays stay null for the caller to allocate.
// The last step of an iteration loop takes its corner arrays only once it has
// released the input arrays that it no longer reads, so that they can take
// over their pages.
void geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size);

// Releases the arrays of *g and clears it. Null, or a cleared record, is harmless.
void geom_free(geom* g);
