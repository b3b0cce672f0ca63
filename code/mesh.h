// Half-edge connectivity of a geom, and its construction from the faces
// through the edge map.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

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
// meets them. The face that meets an edge first holds its even half-edge; an
// edge on one face only (a boundary edge) has an odd half-edge that no face
// holds, whose origin is the edge's other end.
struct mesh {
    uint64_t* face_iedge0;    // F entries: half-edge of face f from corner 0 to corner 1
    uint64_t* face_iedge1;    // F entries: half-edge from corner 1 to corner 2
    uint64_t* face_iedge2;    // F entries: half-edge from corner 2 to corner 0 (triangles) or 3
    uint64_t* face_iedge3;    // F entries: quads only, half-edge from corner 3 to corner 0
    uint64_t* iedge_vertex;   // 2E entries: origin vertex of each half-edge
    uint64_t* iedge_face;     // 2E entries: face that holds each half-edge, or mesh_no_face
    uint64_t* iedge_next;     // 2E entries: next half-edge of the same face, or mesh_no_face
    uint64_t* vertex_valence; // V entries: bits 0-31 number of edges at the vertex, bits
                              // 32-47 how many of them are boundary edges (saturating),
                              // bits 48-63 0; mesh_valence and mesh_boundary_count read them
    uint64_t* boundary_edges; // n_boundary_edges entries: the boundary edges, ascending
    uint64_t n_boundary_edges;
    uint64_t* corner_iedge;   // faces of any sizes (face size 0), instead of face_iedge0-3: an
                              // entry per corner, as the geom's corners: the half-edge leaving it
    float* edge_sharpness;    // E entries when the level has sharp features, else null: the
                              // sharpness of each edge, boundary edges at 10
    float* vertex_sharpness;  // V entries or null: the sharpness each vertex was given (not
                              // the boundary's implicit corners)
};
static_assert(sizeof(mesh) == 104,
              "mesh is nine arrays, a count, the corners' half-edges and the sharpness");

// The parts of a vertex_valence entry: the number of edges at the vertex,
// and how many of them lie on one face only (0 for an interior vertex).
inline uint64_t mesh_valence(uint64_t entry) { return entry & 0xFFFFFFFFu; }
inline uint64_t mesh_boundary_count(uint64_t entry) { return (entry >> 32) & 0xFFFFu; }

// A vertex_valence entry for a vertex of valence edges, boundary of them on
// one face only.
inline uint64_t mesh_valence_entry(uint64_t valence, uint64_t boundary)
{
    return valence | (boundary < 0xFFFFu ? boundary : 0xFFFFu) << 32;
}

// Every bit set: the fill of the padding tails of the mesh's index arrays.
constexpr uint64_t index_pad_fill = ~uint64_t(0);

// The face of a half-edge that no face holds: the other side of an edge that
// lies on one face only. Such a half-edge has its origin but no next.
constexpr uint64_t mesh_no_face = ~uint64_t(0);

// Clears *m and allocates its arrays sized from g's counts (corner_iedge
// instead of face_iedge0-3 for faces of any sizes, face_iedge3 for quads
// only, iedge_next only when with_next); fills the padding tails of
// face_iedge0-2 (or corner_iedge) and the half-edge arrays with
// index_pad_fill and sets every valence to 0. The boundary edges are left to
// the caller (null, none). What *m held is overwritten, not released. Returns
// false, *m cleared, when memory is refused.
bool mesh_alloc(mesh* m, const geom* g, bool with_next);

// Computes the connectivity of g's faces into *m (allocated here; what it
// held is overwritten) and sets g->n_edges to the number of distinct edges.
// Returns subdiv_ok with every half-edge entry set, or subdiv_error_mesh
// with *error filled (faces and vertices counted from 1) and *m cleared when
// a face names a vertex not below n_vertices, has two equal consecutive
// corners or one vertex at two corners, when two faces run through an edge
// the same way, or when an edge lies on more than two faces (whatever their
// order); or subdiv_error_memory, *m cleared, when memory is refused.
subdiv_status mesh_build(mesh* m, geom* g, subdiv_error* error);

// The boundary edges of a mesh whose half-edges are all set, ascending, into
// m->boundary_edges, and the number at each vertex into its vertex_valence
// entry, which counts its edges already; false when memory is refused.
bool mesh_list_boundary(mesh* m, uint64_t n_edges);

// Releases the arrays of *m and clears it.
void mesh_free(mesh* m);

} // namespace subdiv
