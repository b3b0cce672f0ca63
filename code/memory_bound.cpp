// Upper bounds on the memory of a refinement.
//
// Every block is counted at its padded size (at most 4096 bytes above its
// request) and every array a phase may hold at its largest, as if nothing
// were released early: the loops release much of it before allocating more,
// so the real peak lies below.
#include "memory_bound.h"

#include <initializer_list>

#include "children.h"
#include "level_view.h"
#include "map.h"
#include "rules.h"

namespace subdiv {

typedef unsigned __int128 u128;

// Bytes of a block of n bytes.
static u128 block(u128 n_bytes) { return n_bytes + 4096; }

// The faces of a level: a corner array per corner of a face of size 3 or 4;
// offsets and corners for faces of any sizes.
static u128 face_bytes(const level_counts& c)
{
    if (c.face_size == 0) return block(8 * (c.faces + 1)) + block(8 * c.corners);
    return u128(c.face_size) * block(8 * c.faces);
}

// The sharpness a record lists: at most a crease per edge, and a value per
// vertex.
static u128 sharp_list_bytes(const level_counts& c)
{
    const u128 creases = c.creases > c.edges ? c.creases : c.edges;
    return c.sharpness ? block(16 * creases) + block(4 * creases) + block(4 * c.vertices) : 0;
}

// The sharpness of a level's edges and vertices, and what the vertex rules
// of a step gather of them (two counts, two creases, the values that drop).
static u128 sharp_level_bytes(const level_counts& c)
{
    return c.sharpness ? block(4 * c.edges) + block(4 * c.vertices) : 0;
}
static u128 sharp_walk_bytes(const level_counts& c)
{
    return c.sharpness ? 2 * block(c.vertices) + 2 * block(12 * c.vertices) +
                             2 * block(4 * c.vertices) + block(4 * c.vertices)
                       : 0;
}

// What the limit positions and normals of a level held with its
// connectivity hold besides it and their arrays, on `threads` threads: a
// first half-edge per vertex, the other fans of the vertices where several meet
// (a vertex of the input, at most one per corner of it: listed in records
// of three words, then kept as pairs), the masks' table, and each thread's
// room for a ring of the largest valence (a level's vertices keep the
// input's, and new vertices have at most 15 edges) and for the normals of a
// block (as thread_bytes counts its points).
static u128 limit_bytes(const level_counts& level, const level_counts& input, uint32_t threads)
{
    const u128 valence =
        (input.most_edges ? input.most_edges : input.edges) + children_most_sides + 1;
    return block(8 * level.vertices) + block(24 * input.corners) +
           block(16 * input.corners) + block(8 * limit_tabled_valences * limit_tabled_valences) +
           threads * (2 * block(12 * valence) + block(valence) + 3 * block(4 * 2 * 30720));
}

// What the texture coordinate modes other than linear hold through a step
// of a level: its fans (as limit_bytes counts them), its face points'
// coordinates, its coordinates' values and the vertex of each, a mark per
// vertex, an extra number per corner, extra values (at most one per
// corner, in lists that double, then beside the values they join), and each
// thread's room for a ring of the largest valence.
static u128 uv_ring_bytes(const level_counts& level, const level_counts& input)
{
    if (!level.uv_ring_threads) return 0;
    const u128 valence =
        (input.most_edges ? input.most_edges : input.edges) + children_most_sides + 1;
    const u128 values = level.texcoords + level.corners;
    return block(2 * level.edges) + block(8 * level.edges) + block(8 * level.vertices) + block(24 * input.corners) +
           block(16 * input.corners) +
           block(8 * level.faces) + 2 * block(4 * level.texcoords) + block(8 * level.texcoords) +
           block(level.vertices + 1) + block(8 * level.corners) + block(level.texcoords) +
           3 * (block(8 * level.corners) + block(8 * level.corners)) + 2 * block(4 * values) +
           level.uv_ring_threads * (9 * block(0) + 200 * valence);
}

// A geom: three position arrays, the faces, and what they carry: the
// texture coordinates and their corners, the materials.
static u128 geom_bytes(const level_counts& c)
{
    return 3 * block(4 * c.vertices) + face_bytes(c) +
           (c.texcoord_corners ? 2 * block(4 * c.texcoords) + block(8 * c.corners) : 0) +
           (c.materials ? block(4 * c.faces) : 0) + sharp_list_bytes(c);
}

// A mesh: the half-edges of each face's corners (four per-face arrays, or one
// per corner), three half-edge arrays, the valences and the boundary edges
// (at most every edge).
static u128 mesh_bytes(const level_counts& c)
{
    const u128 corners = c.face_size == 0 ? block(8 * c.corners) : 4 * block(8 * c.faces);
    return corners + 3 * block(16 * c.edges) + block(8 * c.vertices) + block(8 * c.edges) +
           sharp_level_bytes(c);
}

u128 memory_bound_build(level_counts input)
{
    const u128 v = input.vertices, corners = input.corners;
    // Every corner opens at most one edge: at most `corners` edges, whose
    // half-edge arrays grow once from room for `corners` half-edges to room
    // for twice as many, the old and the new arrays held together.
    level_counts most = input;
    most.edges = corners;
    const u128 mesh = mesh_bytes(most) + 3 * block(8 * corners);
    // The map holds both directions of the edges open at once, at most
    // 2 × corners keys; it doubles while growing past 0.66 of its slots,
    // holding the old table and the new one. A slot is a hash, a key and a
    // value.
    u128 capacity = edge_map_capacity;
    while (u128(double(capacity) * 0.66) < 2 * corners + 32) capacity *= 2;
    const u128 slot = 8 + edge_map_key_size + edge_map_value_size;
    const u128 map = (capacity + capacity / 2) * slot + 6 * 4096 + 2 * block(map_presence_size);
    // After the map: the offset table, the edge list and the marks of the
    // check for edges on more than two faces (32-bit when the counts allow),
    // while the successors of the half-edges are not yet held.
    const u128 index = corners < UINT32_MAX && v < UINT32_MAX ? 4 : 8;
    const u128 shared_ends = block(index * (v + 1)) + block(index * corners) + block(index * v);
    // Then the sharpness of the edges: the creases in a table of at most 4
    // slots each (ends and crease), their found marks, and the faces' normals
    // of a crease angle.
    const u128 slots = 4 * input.creases + 16;
    const u128 sharp = input.sharpness ? block(16 * slots) + block(8 * slots) +
                                             block(input.creases) + block(24 * input.faces)
                                       : 0;
    u128 after = map > shared_ends ? map : shared_ends;
    if (sharp > after) after = sharp;
    return geom_bytes(input) + mesh + after;
}

level_counts memory_bound_step_counts(level_counts level, subdiv_scheme scheme)
{
    level_counts next = level;
    // texture coordinates: the old ones, one per face (Catmull-Clark), at
    // most two per edge
    next.texcoords = level.texcoords + 2 * level.edges +
                     (scheme == subdiv_scheme_loop ? 0 : level.faces);
    if (scheme == subdiv_scheme_loop) {
        // an edge point per edge; four triangles per triangle; two halves
        // per edge and three inner edges per triangle
        next.vertices = level.vertices + level.edges;
        next.faces = 4 * level.faces;
        next.edges = 2 * level.edges + 3 * level.faces;
        next.corners = 3 * next.faces;
        next.face_size = 3;
    } else {
        // a face point per face and an edge point per edge; a quad per
        // corner; two halves per edge and an inner edge per corner
        next.vertices = level.vertices + level.faces + level.edges;
        next.faces = level.corners;
        next.edges = 2 * level.edges + level.corners;
        next.corners = 4 * next.faces;
        next.face_size = 4;
    }
    return next;
}

// The most that `steps` steps with connectivity from *level hold beside the
// input (kept), the output of the last without its connectivity when
// `last_bare`; *level becomes the level they reach. Each step holds its
// scratch: the numbering of the output's connectivity (two entries per
// edge) and its boundary bits, the boundary vertices' bits, eight group
// buffers, the texture coordinates at the ends of each half-edge, the sharp
// walk and the rings of the texture coordinate modes.
static u128 steps_with_connectivity(level_counts* level, const level_counts& input,
                                    subdiv_scheme scheme, int32_t steps, bool last_bare)
{
    const u128 kept = geom_bytes(input);
    u128 peak = 0;
    for (int32_t i = 1; i <= steps; ++i) {
        const level_counts next = memory_bound_step_counts(*level, scheme);
        const bool bare = last_bare && i == steps;
        const u128 scratch = (bare ? 0 : block(16 * level->edges) + block(level->edges / 8)) +
                             block(level->vertices / 8) + 8 * block(64) +
                             (level->texcoord_corners ? 2 * block(16 * level->edges) : 0) +
                             sharp_walk_bytes(*level) + uv_ring_bytes(*level, input);
        const u128 held = kept + (i > 1 ? geom_bytes(*level) : 0) + mesh_bytes(*level) +
                          geom_bytes(next) + (bare ? 0 : mesh_bytes(next)) + scratch;
        if (held > peak) peak = held;
        *level = next;
    }
    return peak;
}

u128 memory_bound_iterations(level_counts input, subdiv_scheme scheme, int32_t count, bool limit)
{
    const u128 kept = geom_bytes(input);
    // the copy beside the connectivity, and its limit positions and normals
    // (six arrays of a float per vertex: the new positions and the normals)
    const u128 arrays = 6 * block(4 * input.vertices);
    if (count <= 0)
        return 2 * kept + mesh_bytes(input) + (limit ? arrays + limit_bytes(input, input, 1) : 0);
    level_counts level = input;
    // the last level keeps its connectivity for the rings of its limit
    const u128 peak = steps_with_connectivity(&level, input, scheme, count, !limit);
    // then the last level, its connectivity and its limit positions and normals
    const u128 rings = kept + geom_bytes(level) + mesh_bytes(level) +
                       6 * block(4 * level.vertices) + limit_bytes(level, input, 1);
    return limit && rings > peak ? rings : peak;
}

// What a level holds besides its positions: the texture coordinates and
// their corners, the materials.
static u128 carried_bytes(const level_counts& c)
{
    return (c.texcoord_corners ? 2 * block(4 * c.texcoords) + block(8 * c.corners) : 0) +
           (c.materials ? block(4 * c.faces) : 0);
}

// What the writing of a text holds per thread: its text buffer and, for the
// last step, the records and values of a block (a block of the view has at
// most 30720 faces or edges of either level, or 8192 of a section of
// points, and two texture coordinates per edge).
static u128 thread_bytes()
{
    const u128 records = 30720;
    return block((u128(1) << 20) + 1024) + block(sizeof(view_face) * records) +
           block(sizeof(view_edge) * records) + 3 * block(4 * 3 * 2 * records) +
           4 * block(8 * records) + block(32 * records) + block(4 * records) + block(8 * 8192);
}

// What a thread holds to write the sharp features of a block: two creases
// per edge of a block, or a block of vertices.
static u128 tag_thread_bytes()
{
    const u128 tags = 2 * 30720;
    return block(16 * tags) + block(4 * tags);
}

// What the last step holds besides the level it refines and the view: the
// level's positions side by side, the sums at its vertices, its face points
// (Catmull-Clark), the numbers of the texture coordinates at its edges, the
// boundary vertices' bits, the materials before each block and the threads'.
static u128 final_bytes(const level_counts& level, subdiv_scheme scheme, uint32_t threads)
{
    return 2 * block(12 * level.vertices) +
           (scheme == subdiv_scheme_loop ? 0 : block(12 * level.faces)) +
           (level.texcoord_corners ? block(8 * (level.edges + 1)) : 0) +
           block(level.vertices / 8) + block(level.faces / 64) +
           threads * (thread_bytes() + (level.sharpness ? tag_thread_bytes() : 0)) +
           (level.sharpness ? block(4 * level.vertices) + sharp_walk_bytes(level) : 0);
}

// The connectivity that a view of a level's children reads: a mesh without
// its half-edges' successors and boundary list, its index arrays of `index`
// bytes an entry (4 once the view has its 32-bit copies).
static u128 viewed_mesh_bytes(const level_counts& c, u128 index)
{
    const u128 corners =
        c.face_size == 0 ? block(index * c.corners) : u128(c.face_size) * block(index * c.faces);
    return corners + 2 * block(2 * index * c.edges) + block(8 * c.vertices) + sharp_level_bytes(c);
}

// The streamed bound of limit positions and normals: the steps with
// connectivity up to the level before the last, which keeps it, then the
// last step from that level held with its connectivity, the last level's
// points of its vertices and edges, and the rings' fans and rooms.
static u128 limit_streamed(level_counts input, subdiv_scheme scheme, int32_t count,
                           uint32_t threads)
{
    const u128 kept = geom_bytes(input);
    level_counts level = input;
    const u128 peak = steps_with_connectivity(&level, input, scheme, count - 1, false);
    const u128 last = (count == 1 ? kept : geom_bytes(level)) + mesh_bytes(level) +
                      final_bytes(level, scheme, threads) + block(level.vertices / 8) +
                      block(16 * level.edges) + block(12 * level.vertices) +
                      block(12 * level.edges) + limit_bytes(level, input, threads) +
                      uv_ring_bytes(level, input);
    return last > peak ? last : peak;
}

u128 memory_bound_streamed(level_counts input, subdiv_scheme scheme, int32_t count,
                           uint32_t threads, bool limit)
{
    const u128 kept = geom_bytes(input);
    if (count <= 0)
        return kept + mesh_bytes(input) + threads * thread_bytes() +
               (limit ? 6 * block(4 * input.vertices) + limit_bytes(input, input, threads) : 0);
    if (limit || input.uv_ring_threads) return limit_streamed(input, scheme, count, threads);
    if (count == 1)
        return kept + mesh_bytes(input) + final_bytes(input, scheme, threads) +
               block(input.vertices / 8) + block(16 * input.edges);
    // the steps with connectivity, as memory_bound_iterations counts them
    level_counts parent = input;
    u128 peak = steps_with_connectivity(&parent, input, scheme, count - 2, false);
    // the positions of the level before the last from its parent, whole;
    // the input goes once a step has read it, and the corners of faces of
    // one size before the step
    const level_counts level = memory_bound_step_counts(parent, scheme);
    const u128 points = geom_bytes(parent) - (parent.face_size == 0 ? 0 : face_bytes(parent)) +
                        mesh_bytes(parent) + 3 * block(4 * level.vertices) +
                        carried_bytes(level) + block(parent.vertices / 8) + 8 * block(64) +
                        (parent.texcoord_corners ? 2 * block(16 * parent.edges) : 0) +
                        sharp_walk_bytes(parent);
    // then the view: the first edge of each parent face and of each block,
    // and 32-bit copies of the parent's face sides, half-edge origins and
    // faces when the counts allow (made one at a time, each beside its
    // original, which goes), beside the level's positions and what its
    // faces carry, and the parent's faces' offsets
    const bool narrow = 2 * parent.edges < UINT32_MAX && parent.vertices < UINT32_MAX &&
                        parent.faces < UINT32_MAX && parent.corners < UINT32_MAX &&
                        level.edges < UINT32_MAX;
    const u128 index = narrow ? 4 : 8;
    const u128 numbering = block(index * parent.faces) + block(parent.faces / 64 + 8);
    const u128 offsets = parent.face_size == 0 ? block(8 * (parent.faces + 1)) : 0;
    const u128 around =
        offsets + carried_bytes(level) + numbering + 3 * block(4 * level.vertices);
    const u128 viewing =
        viewed_mesh_bytes(parent, 8) + (narrow ? viewed_mesh_bytes(parent, 4) : 0) + around;
    // then the last step beside the view, the level's positions (copied side
    // by side before the step's own arrays come) and the ends of the level's
    // boundary edges (two per parent edge at most)
    const u128 last = viewed_mesh_bytes(parent, index) + offsets + carried_bytes(level) +
                      numbering + block(32 * parent.edges) + block(12 * level.vertices) +
                      (3 * block(4 * level.vertices) > final_bytes(level, scheme, threads) -
                                                           block(12 * level.vertices)
                           ? 3 * block(4 * level.vertices)
                           : final_bytes(level, scheme, threads) - block(12 * level.vertices));
    for (const u128 held : {points, viewing, last})
        if (held > peak) peak = held;
    return peak;
}

u128 memory_bound_gathered(level_counts input, subdiv_scheme scheme, int32_t count,
                           uint32_t threads, bool limit)
{
    level_counts last = input;
    for (int32_t i = 1; i <= count; ++i) last = memory_bound_step_counts(last, scheme);
    const u128 arrays = block(12 * last.vertices) + block(8 * last.corners) +
                        (last.face_size == 0 ? block(8 * (last.faces + 1)) : 0) +
                        (limit ? block(12 * last.vertices) : 0);
    return memory_bound_streamed(input, scheme, count, threads, limit) + arrays;
}

} // namespace subdiv
