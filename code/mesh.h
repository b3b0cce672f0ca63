// Half-edge connectivity of a geom, and its construction from the faces
// through the edge map.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

// Directed edge (origin, destination), the key of the edge map.
struct edge_key {
    uint64_t origin;
    uint64_t destination;
};
static_assert(sizeof(edge_key) == 16, "edge_key is two 64-bit words");

// The key of the directed edge origin -> destination. Equal indices (a
// degenerate edge, which mesh_build refuses first) are a fatal check.
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
    uint64_t* iedge_face;     // 2E entries: face that holds each half-edge, or mesh_no_face
    uint64_t* iedge_next;     // 2E entries: next half-edge of the same face, or mesh_no_face
    uint64_t* vertex_valence; // V entries: bits 0-62 number of edges at the vertex; bit 63 reserved, 0
};
static_assert(sizeof(mesh) == 64, "mesh is eight 64-bit words");

// Every bit set: the fill of the padding tails of the mesh's index arrays.
constexpr uint64_t index_pad_fill = ~uint64_t(0);

// The face of a half-edge that no face holds: the other side of an edge that
// lies on one face only. Such a half-edge has its origin but no next.
constexpr uint64_t mesh_no_face = ~uint64_t(0);

// Clears *m and allocates its arrays sized from g's counts; fills the padding
// tails of face_iedge0-2 and the three half-edge arrays with index_pad_fill and
// sets every valence to 0. What *m held is overwritten, not released.
void mesh_alloc(mesh* m, const geom* g);

// Computes the connectivity of g's faces into *m (allocated here; what it
// held is overwritten) and sets g->n_edges to the number of distinct edges.
// Returns subdiv_ok with every half-edge entry set, or subdiv_error_mesh
// with *error filled (faces and vertices counted from 1) and *m cleared when
// a face names a vertex not below n_vertices, has two equal consecutive
// corners or one vertex at two opposite corners of a quad, when two faces run
// through an edge the same way, when an edge lies on more than two faces
// (whatever their order), or when an edge lies on one face only.
subdiv_status mesh_build(mesh* m, geom* g, subdiv_error* error);

// Releases the arrays of *m and clears it.
void mesh_free(mesh* m);
