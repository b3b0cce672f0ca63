// The level that the last step of a refinement refines, seen through records
// of its faces and edges, block by block in ascending order, whether it is
// held with its own connectivity (the input, for one iteration) or only as
// the children of the level before it (its positions and what its faces
// carry are held, its faces and edges follow from the parent's connectivity
// by the schemes' tables): then its connectivity is never built.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"

namespace subdiv {

// The most corners of a face.
constexpr int view_max_corners = 15;

// A face of the level.
struct view_face {
    uint64_t index;                           // the face
    uint32_t n;                               // its corners
    uint32_t odd_sides;                       // bit k: the face holds the odd half-edge of side k
    uint64_t corner[view_max_corners];        // the vertex at each corner
    uint64_t side_edge[view_max_corners];     // the edge from corner k to corner k + 1
    uint64_t texcoord[view_max_corners];      // the texture coordinate of each corner (uv)
};

// An edge of the level. Its even half-edge runs from a to b in face fa,
// along fa's side sa (from corner sa to sa + 1); its odd one, when a face
// holds it, from b to a in face fb along side sb.
struct view_edge {
    uint64_t index;  // the edge
    uint64_t a, b;   // its ends
    uint64_t fa, fb; // its faces; fb is mesh_no_face on a boundary edge
    uint32_t sa, sb; // the sides in those faces
    uint64_t p, q;   // triangles: the corners opposite the edge in fa and fb
    float sharpness; // when the level has sharp features: the edge's (boundary edges 10)
};

// The level's face and edge records come in blocks: block i holds the faces
// [face_first(i), face_first(i + 1)) and the edges [edge_first(i),
// edge_first(i + 1)), both ascending.
struct level_view {
    const geom* level;   // the positions, and what faces carry, of the level
    const mesh* own;     // its own connectivity, or null
    const mesh* parent_mesh; // else the connectivity of the level before it
    const geom* parent;  // and that level's faces
    bool loop;           // children of triangles by Loop's table, else Catmull-Clark's
    uint64_t n_vertices, n_faces, n_edges;
    uint64_t n_blocks;
    uint64_t block_size; // faces (own) or parent faces (children) per block
    // Children: the parent's half-edges as the view reads them, 32-bit
    // copies that the view owns when every count fits (narrow), else the
    // parent mesh's own 64-bit arrays; face_edge is the view's either way.
    bool narrow;
    const void* parent_face_iedge[4]; // faces of one size: the half-edge of each side
    const void* parent_corner_iedge;  // faces of any sizes: the half-edge leaving each corner
    const void* parent_iedge_vertex;  // 2E entries: each half-edge's origin
    const void* parent_iedge_face;    // 2E entries: each half-edge's face, or none (all bits)
    void* face_edge;      // F parent entries: the first edge each face's children number
    uint64_t* first_edge; // children: n_blocks + 1 entries, the first edge of each block
    uint64_t n_boundary; // the level's boundary edges
};

// Views the level *level with its own connectivity *own, in blocks of about
// block_size faces. The level may have let its corner arrays go (corner0 to
// corner3, or corners): its faces' corners then come from the half-edges.
void level_view_own(level_view* view, const geom* level, const mesh* own, uint64_t block_size);

// Views the level *level, one step of *parent with connectivity
// *parent_mesh by Loop (loop) or Catmull-Clark, as children of the parent's
// faces, in blocks of block_size parent faces. Numbers the children's edges
// as mesh_build would (a pass over the parent's faces). When the counts fit
// 32 bits, the view takes 32-bit copies of the parent's face sides (or
// corners' half-edges), half-edge origins and half-edge faces and releases
// those arrays of *parent_mesh. Returns false, the view holding nothing,
// when memory is refused.
bool level_view_children(level_view* view, const geom* level, mesh* parent_mesh,
                         const geom* parent, bool loop, uint64_t block_size);

// Test hook: a view of children keeps the parent's 64-bit arrays when any
// count reaches `most` (by default 2^32 - 1, which no 32-bit index reaches);
// returns the value before.
uint64_t level_view_narrow_limit(uint64_t most);

// Releases what the view holds (not the levels).
void level_view_free(level_view* view);

// The faces of block i: face_first(i + 1) - face_first(i) records into faces,
// which holds room for them. Without
// with_sides only their index, corners and odd sides may be set.
uint64_t view_face_first(const level_view* view, uint64_t i);
void view_faces(const level_view* view, uint64_t i, view_face* faces, bool with_sides);

// The edges of block i, edge_first(i + 1) - edge_first(i) records into edges.
// Without across, an edge of the children's view that lies on a face of
// another parent face has fb and sb 0 and q equal to p: only whether it has
// a second face is set.
uint64_t view_edge_first(const level_view* view, uint64_t i);
void view_edges(const level_view* view, uint64_t i, view_edge* edges, bool across = true);


// Whether the level has sharp features: then its edges' records carry their
// sharpness.
bool view_sharp(const level_view* view);

// The sharpness given to the count vertices from first (not the boundary's
// implicit corners) into values; all 0 when the level gives none.
void view_vertex_sharpness(const level_view* view, uint64_t first, uint64_t count, float* values);

// Whether any sharpness of the level drops to 0 in the next step.
bool view_sharpness_changes(const level_view* view);

// Whether any vertex of the level was given sharpness.
bool view_has_vertex_sharpness(const level_view* view);

// The valence entry (mesh_valence_entry) of vertex v of the level.
uint64_t view_valence(const level_view* view, uint64_t v);

// The valence entries of the count vertices from first into entries.
void view_valences(const level_view* view, uint64_t first, uint64_t count, uint64_t* entries);

} // namespace subdiv
