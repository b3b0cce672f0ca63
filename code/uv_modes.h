// The texture coordinate modes other than linear (subdiv_uv_mode): which
// coordinates of a level lie on seams, and the values its coordinates, edge
// points and face points take in the next level. A matched coordinate
// follows the scheme's point rules (rules.h) as positions do; at a seam
// vertex each span, a run of faces round it with one coordinate, is kept
// or follows the crease rule along its two bounding edges, by the mode.
#pragma once

#include <cstdint>

#include "geom.h"
#include "limit.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// A level with texture coordinates and its connectivity, as a step in a
// mode other than linear reads it.
struct uv_level {
    const mesh* m;         // half-edges with origins, faces and successors, the faces' sides,
                           // valences, and the level's sharpness when it has any
    const geom* g;         // the counts, face_start (faces of any sizes), the coordinates
    subdiv_uv_mode mode;   // not linear
    bool loop;             // Loop's rules, else Catmull-Clark's
    bool classic;          // Catmull-Clark's classic vertex rule
    bool smooth_corners;   // --corners=smooth
    const float* face_uv;  // Catmull-Clark: 2 per face, its face point's coordinate
                           // (uv_face_points); null for Loop
    uint8_t* side;         // per half-edge, the place of its origin in its face, 0xFF on a
                           // boundary edge's faceless side (uv_level_prepare)
    float* edge_uv;        // per edge, 2 floats: the first coordinate of its point in the
                           // next level (uv_edge_points; uv_level_prepare)
};

// Fills level->side and level->edge_uv, new arrays, on up to `threads`
// threads, once the rest of *level is set (face_uv included). Returns
// false, holding nothing, when memory is refused.
bool uv_level_prepare(uv_level* level, uint32_t threads);

// Releases what uv_level_prepare made.
void uv_level_release(uv_level* level);

// The face point coordinates of the count faces from first, 2 floats each
// into out: the corners' coordinates summed in corner order, divided by n.
void uv_face_points(const uv_level* level, uint64_t first, uint64_t count, float* out);

// The coordinates of edge e's point in the next level into out: two on a
// seam (the even side's first), each its side's midpoint; one on a boundary
// edge (in linear and boundaries its side's midpoint); else the scheme's
// edge rule with the edge's sharpness on the coordinates of its faces (read
// from level->edge_uv once uv_level_prepare made it). Returns how many: 1 or 2.
uint32_t uv_edge_points(const uv_level* level, uint64_t e, float out[2][2]);

// The coordinates of a level's corners in the next level. Each coordinate
// number takes the value its first corner (in face order) gets; a corner
// whose value differs (one number at two vertices, or on two spans of a
// vertex that take other values) gets an extra number, one per number and
// value, after all the others.
struct uv_moved {
    float* u;                  // n_texcoords + n_extra entries: each number's value, then
    float* v;                  // the extra ones'
    uint64_t n_texcoords;      // the level's numbers
    uint64_t n_extra;
    uint64_t* corner_extra;    // null when n_extra is 0; else per corner of the level
                               // UINT64_MAX, or the index of its extra value
};

// Computes *moved for the level on up to `threads` threads. Returns false,
// holding nothing, when memory is refused.
bool uv_moved_compute(const uv_level* level, uint32_t threads, uv_moved* moved);

void uv_moved_free(uv_moved* moved);

} // namespace subdiv
