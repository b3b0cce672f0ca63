// Half-edge connectivity of a geom, and its construction from the faces
// through the edge map.
#pragma once

#include <cstdint>

#include "geom.h"

// Directed edge (origin, destination), the key of the edge map.
struct edge_key {
    uint64_t origin;
    uint64_t destination;
};
static_assert(sizeof(edge_key) == 16, "edge_key is two 64-bit words");

// The key of the directed edge origin -> destination. Equal indices (a
// degenerate edge) are a fatal check naming both.
edge_key make_edge_key(uint64_t origin, uint64_t destination);

// Half-edge connectivity of a geom with V vertices, F faces and E edges. The
// half-edges of edge e are 2e and 2e + 1 (the twin of h is h ^ 1), and edges
// are numbered in the order a scan of the faces, each from corner 0, first
// meets them.
struct mesh {
    uint64_t* face_iedge0;    // F entries: half-edge of face f from corner 0 to corner 1
    uint64_t* face_iedge1;    // F entries: half-edge from corner 1 to corner 2
    uint64_t* face_iedge2;    // F entries: half-edge from corner 2 to corner 0 (triangles) or 3
    uint64_t* face_iedge3;    // F entries: quads only, half-edge from corner 3 to corner 0
    uint64_t* iedge_vertex;   // 2E entries: origin vertex of each half-edge
    uint64_t* iedge_face;     // 2E entries: face that holds each half-edge
    uint64_t* iedge_next;     // 2E entries: next half-edge of the same face
    uint64_t* vertex_valence; // V entries: bits 0-62 number of edges at the vertex; bit 63 reserved, 0
};
static_assert(sizeof(mesh) == 64, "mesh is eight 64-bit words");

// Every bit set: the fill of the padding tails of the mesh's index arrays.
constexpr uint64_t index_pad_fill = ~uint64_t(0);

// Clears *m and allocates its arrays sized from g's counts; fills the padding
// tails of face_iedge0-2 and the three half-edge arrays with index_pad_fill and
// sets every valence to 0. What *m held is overwritten, not released.
void mesh_alloc(mesh* m, const geom* g);

// Allocates *m and computes the connectivity of g's faces; g->n_edges must be
// the number of distinct edges. Returns 1, with every half-edge entry set.
// Ends the run, before writing out of bounds or leaving an entry unset, on a
// corner index not below n_vertices, two equal consecutive corners, a quad
// with one vertex at opposite corners, a directed edge that a second face
// runs the same way while the first face's edge is still unmatched, and a
// number of distinct edges or of edges on one face only that a closed mesh
// of n_edges edges cannot have. An edge shared by four faces that pair up in
// opposite directions is taken as two edges with the same ends. These checks
// release *m (cleared) and the edge map before they fail, so that a check
// handler that leaves by longjmp loses nothing.
int mesh_build(mesh* m, const geom* g);

// Releases the arrays of *m and clears it.
void mesh_free(mesh* m);
