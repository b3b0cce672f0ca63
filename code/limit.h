// The limit surface of a level held with its connectivity: where each
// vertex's ring of neighbours starts and how it turns (its fans), and the
// limit positions and normals of every vertex of such a level.
//
// A ring starts at the vertex's outgoing half-edge in its lowest face, or,
// on the boundary, at its outgoing half-edge whose twin has no face (the one
// in the lowest face among those), and turns counter-clockwise seen from
// outside: after the outgoing half-edge h comes the twin of the half-edge
// before h in h's face. A step numbers the children of a face after those of
// every face before it, each child at a corner carrying the corner's
// outgoing half-edge's half: a vertex's ring at the next level starts and
// turns as at this one, so a crease takes the same side at every level.
#pragma once

#include <cstdint>

#include "check.h"
#include "geom.h"
#include "mesh.h"
#include "rules.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// The fans of a level's vertices.
struct vertex_fans {
    uint64_t* start; // per vertex: the first outgoing half-edge of its ring, or mesh_no_face
                     // for a vertex on no face; fans_more set where other fans follow
    uint64_t* more;  // n_more pairs (vertex, half-edge): the first half-edge of each other
                     // fan of a vertex where several meet, by vertex, then by the lowest
                     // face of the fan
    uint64_t n_more;
    uint64_t most_edges; // the largest valence of the level
    int face_size;       // of the level's faces: 3 or 4, or 0 for any sizes
};

// The bit of a start entry that says other fans follow the first.
constexpr uint64_t fans_more = uint64_t(1) << 63;

// The fans of the vertices of *g, whose connectivity *m is, on up to
// `threads` threads. Returns false, holding nothing, when memory is refused.
bool vertex_fans_build(vertex_fans* fans, const mesh* m, const geom* g, uint32_t threads);

void vertex_fans_free(vertex_fans* fans);

// The half-edge before h in its face (of face_size sides, 0 for any).
inline uint64_t fans_half_edge_before(const mesh* m, uint64_t h, int face_size)
{
    uint64_t before = m->iedge_next[h];
    if (face_size == 3) return m->iedge_next[before];
    if (face_size == 4) return m->iedge_next[m->iedge_next[before]];
    for (uint64_t next = m->iedge_next[before]; next != h; next = m->iedge_next[next])
        before = next;
    return before;
}

// Calls visit(h, i) for the outgoing half-edges of one fan from its first,
// h, in turn, i counting from first_place: h has a face unless it is the
// last of an open fan (the twin of the arriving boundary half-edge). Returns
// the half-edges visited.
template <typename Visit>
inline uint64_t fans_walk_one(const mesh* m, int face_size, uint64_t first, uint64_t first_place,
                              uint64_t most, const Visit& visit)
{
    uint64_t h = first, count = 0;
    for (;;) {
        CHECK(count < most, "vertex_fans: a fan of half-edge %llu does not end",
              (unsigned long long)first);
        visit(h, first_place + count);
        ++count;
        if (m->iedge_face[h] == mesh_no_face) return count;
        h = fans_half_edge_before(m, h, face_size) ^ 1;
        if (h == first) return count;
    }
}

// What a walk of a vertex's fans met: its edges, those of its first fan and
// whether that closes round it.
struct fans_met {
    uint32_t n;
    uint32_t first_fan;
    bool first_closed;
};

// Calls visit(h, i) for every outgoing half-edge h of vertex v, i its place
// in the vertex's ring: fan by fan (the first fan first), each in turn from
// its first. A vertex of one closed fan, the common case, is walked the
// other way round, one half-edge per step, from the last place back.
template <typename Visit>
inline fans_met fans_walk(const vertex_fans* fans, const mesh* m, uint64_t v, const Visit& visit)
{
    const uint64_t start = fans->start[v];
    if (start == mesh_no_face) return {0, 0, true};
    const uint64_t entry = m->vertex_valence[v], n = mesh_valence(entry);
    if (!(start & fans_more) && mesh_boundary_count(entry) == 0) {
        uint64_t h = start;
        visit(h, 0);
        for (uint64_t i = n - 1; i > 0; --i) {
            h = m->iedge_next[h ^ 1];
            visit(h, i);
        }
        CHECK(m->iedge_next[h ^ 1] == start, "vertex_fans: the fan of vertex %llu is not closed",
              (unsigned long long)v);
        return {uint32_t(n), uint32_t(n), true};
    }
    const uint64_t first = start & ~fans_more;
    uint64_t last = first;
    const uint64_t met =
        fans_walk_one(m, fans->face_size, first, 0, n, [&](uint64_t h, uint64_t i) {
            last = h;
            visit(h, i);
        });
    fans_met walk = {uint32_t(met), uint32_t(met), m->iedge_face[last] != mesh_no_face};
    if (!(start & fans_more)) return walk;
    // the other fans' pairs, found by halving the list
    uint64_t low = 0, high = fans->n_more;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (fans->more[2 * middle] < v)
            low = middle + 1;
        else
            high = middle;
    }
    for (; low < fans->n_more && fans->more[2 * low] == v; ++low)
        walk.n +=
            uint32_t(fans_walk_one(m, fans->face_size, fans->more[2 * low + 1], walk.n, n, visit));
    return walk;
}

// Room for the ring of a vertex of up to capacity neighbours.
struct limit_ring_room {
    float* p;
    float* d;
    uint8_t* flags;
};

// Allocates room for capacity neighbours (d too unless loop); false,
// holding nothing, when memory is refused.
bool limit_ring_alloc(limit_ring_room* room, uint64_t capacity, bool loop);
void limit_ring_free(limit_ring_room* room);

// The rule of a vertex at a level from its given sharpness, whether it is
// one of the boundary's implicit corners and how many of its edges are sharp.
inline vertex_rule limit_rule(float given, bool implicit_corner, uint32_t sharp_edges)
{
    const float s = implicit_corner && given < 10.0f ? 10.0f : given;
    return rule_of_vertex(s, sharp_edges);
}

// The limit positions (into position[axis][v], when position is not null)
// and normals (into normal[axis][v], when not null) of every vertex of *g,
// a level of faces the masks take (quads for Catmull-Clark) with its
// connectivity *m and its sharpness, on up to `threads` threads. Returns
// false, having written nothing, when memory is refused.
bool limit_level(const mesh* m, const geom* g, const limit_masks* masks, bool smooth_corners,
                 uint32_t threads, float* const* position, float* const* normal);

// The same for what the options ask (limit, normals; the corners decided)
// under the scheme (loop, else Catmull-Clark with the options' vertex
// rule): new arrays into position[0..2] and normal[0..2], those not asked
// for left null, for the caller to release. False, all null, when memory is
// refused.
bool limit_level_arrays(const mesh* m, const geom* g, bool loop, const subdiv_options* options,
                        float* position[3], float* normal[3]);

// A level held with its connectivity as the parent of the next level, whose
// points a step holds a value per vertex, face and edge of this one: the
// next level's vertices are this one's (moved), then (Catmull-Clark) a face
// point per face, then an edge point per edge. Its sharpness at the next
// level is what the level's leaves.
struct limit_parent {
    const mesh* m;
    const geom* g;
    const vertex_fans* fans; // of *g
    bool loop;
    bool smooth_corners;
    const float* moved;      // 3 per vertex: its point in the next level
    const float* face_point; // 3 per face (Catmull-Clark)
    const float* edge_point; // 3 per edge
};

// The ring in the next level of vertex v of the level, of the face point of
// its face f, and of the edge point of its edge e: the ring the next level's
// own connectivity would give it.
void limit_ring_old_vertex(const limit_parent* parent, uint64_t v, limit_ring* ring);
void limit_ring_face_point(const limit_parent* parent, uint64_t f, limit_ring* ring);
void limit_ring_edge_point(const limit_parent* parent, uint64_t e, limit_ring* ring);

} // namespace subdiv
