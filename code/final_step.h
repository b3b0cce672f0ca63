// The last step of a refinement as OBJ text: the level before the last,
// seen through a level_view, gives the last level's vertices, texture
// coordinates and faces a block at a time, so that the last level is never
// held whole. Every value is the one the steps compute, from the same
// operations in the same order, and numbered as they number it.
#pragma once

#include <cstdint>

#include "level_view.h"
#include "limit.h"
#include "obj_stream.h"
#include "rules.h"
#include "subdiv/subdiv.h"
#include "uv_modes.h"

namespace subdiv {

struct final_thread;

// The last step of the level a view shows. Its vertices' new positions need
// sums over the whole level first; they are held here, a value per vertex of
// that level, with the face points of Catmull-Clark and the numbering of the
// texture coordinates at the edges. The rest is computed a block at a time.
struct final_step {
    const level_view* view;
    const geom* level;          // the level the view shows
    bool loop;                  // Loop's rules, else Catmull-Clark's
    bool classic;               // Catmull-Clark's classic vertex rule: sums of old neighbours
    uint32_t threads;
    // Points as x, y, z side by side, three floats per point: a vertex or a
    // face is then one cache line away, not three.
    float* position;            // per vertex of the level: its position
    float* sum;                 // per vertex of the level: the vertex rule's sum; on the
                                // boundary, the vertex's new position
    float* face_point;          // Catmull-Clark: the point of each face of the level
    uint64_t* edge_texcoord;    // with texture coordinates: per edge of the level, its first
                                // texture coordinate in the last level (and one past the last)
    int32_t* material_before;   // with materials: per block, the material in force before it
    const char** material_names;
    bool sharp;                 // the level has sharp features: its vertices follow the walk
    bool smooth_corners;
    sharp_walk walk;            // with sharp features: what each vertex's sharp edges ask
    float* vertex_sharpness;    // with sharp features and vertices given any: per vertex of
                                // the level, what it was given (else null)
    float weight[2][64];        // the vertex rule's weights for valences below 64
    uint64_t n_vertices;        // of the last level
    uint64_t n_texcoords;
    uint64_t n_faces;
    uint64_t max_faces, max_edges; // the most face and edge records of a block of the view
    final_thread* scratch;      // a record per thread
    // With limit positions or normals, whose rings need the last level's
    // points round each vertex: the level is seen with its own connectivity,
    // and those points are held a value per vertex, face and edge of it.
    bool limit;                 // the last level's vertices at their limit positions
    bool normals;               // and the limit surface's normals
    float* moved;               // per vertex of the level: its point in the last level (in the
                                // block of the sums, which it replaces)
    float* edge_point;          // per edge of the level: its point in the last level
    vertex_fans fans;           // the rings of the level's vertices
    limit_masks masks;
    limit_parent parent;        // the level and those points, for the rings
    // With texture coordinates in a mode other than linear, whose vertices
    // need their rings: the level is seen with its own connectivity.
    bool uv_rings;
    uv_level uv;                // the level as the modes read it
    uv_moved uv_values;         // its coordinates' values in the last level, and extra ones
    float* face_uv;             // Catmull-Clark: per face of the level, its face point's
    uint64_t extra_base;        // the number of the first extra value
};

// Runs the passes that must see the whole level before anything is written,
// on up to `threads` threads: the face points, the sums of the vertex rules,
// the boundary vertices and the numbering of the texture coordinates; with
// limit positions or normals (options limit, normals), which need a view of
// the level with its own connectivity, the last level's points of the
// level's vertices and edges and the rings' fans. options (may be null)
// give the corners' rule and the vertex rule. owned_level, when not null,
// is the view's level, whose positions the caller lets go: x, y and z are
// released once copied, and cleared. Returns false, the step holding
// nothing, when memory is refused.
bool final_step_prepare(final_step* step, const level_view* view, const subdiv_options* options,
                        uint32_t threads, geom* owned_level);

// The last level as the source of an OBJ text, whose callbacks take thread
// numbers below the threads given to final_step_prepare.
void final_step_source(final_step* step, obj_source* source);

// Releases what final_step_prepare allocated. Harmless for a cleared step.
void final_step_free(final_step* step);

} // namespace subdiv
