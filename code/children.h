// The children of a face under one subdivision step, as one table that the
// derivation of a step's connectivity and the view of a level as the
// children of the one before it both walk.
//
// Parent side c runs from corner c to corner c + 1 of the face; its edge
// point m_c splits it into the half at its origin, A_c (corner c to m_c), and
// the half at its end, B_c (m_c to corner c + 1). Inner edges join edge
// points (Loop: j = 0, 1, 2 are m0-m2, m1-m0, m2-m1) or an edge point and
// the face point (Catmull-Clark: inner edge j joins m_j and the face point).
//
//   Loop, a triangle (q0 q1 q2):        Catmull-Clark, a face of n sides:
//   child 0: q0 m0 m2                   child c: q_c m_c p m_(c-1)
//   child 1: m0 q1 m1                   (p the face point), sides
//   child 2: m1 q2 m2                   A_c, inner c, inner c-1, B_(c-1)
//   child 3: m1 m2 m0
//
// A step numbers the edges of its output as a scan of the children, each
// from corner 0, first meets them, the children of face f after those of
// every face before it (which is what the edge map would give). A half of a
// parent side is met first by the children of the face that holds the
// side's even half-edge; that face numbers it, and its children hold the
// half's even half-edge when the parent side is even. An inner edge's even
// half-edge is in the child that meets it first.
#pragma once

#include <cstdint>

namespace subdiv {

// The most sides of a face.
constexpr uint32_t children_most_sides = 15;

// What a child's corner is: the parent's corner, an edge point or the face point.
enum child_point_kind : uint8_t { child_corner = 0, child_edge_point = 1, child_face_point = 2 };

// What a child's side is: a half of a parent side, or an inner edge.
enum child_edge_kind : uint8_t { child_half_origin = 0, child_half_end = 1, child_inner = 2 };

// A point or an edge of the children: its kind and which (the parent's
// corner or side c, or inner edge j; 0 for the face point).
struct child_ref {
    uint8_t kind;
    uint8_t index;
};

// A child and one of its corners or sides.
struct child_place {
    uint8_t child;
    uint8_t slot;
};

// The children of a face of n_sides sides.
struct children_table {
    uint8_t n_sides;
    uint8_t n_children;
    uint8_t child_size;                               // corners (and sides) of each child
    uint8_t n_edges;                                  // new edges: two halves per side, and the inner ones
    child_ref corner[children_most_sides][4];         // child k's corner j
    child_ref side[children_most_sides][4];           // child k's side j, from corner j to j + 1
    uint8_t inner_odd[children_most_sides];           // bit j: child k's side j is an inner edge
                                                      // whose odd half-edge it holds
    child_ref edge_order[3 * children_most_sides];    // the new edges as the scan first meets them
    child_place half_origin[children_most_sides];     // the child and side that are A_c
    child_place half_end[children_most_sides];        // the child and side that are B_c
    child_place inner_even[children_most_sides];      // the child and side of inner edge j's even
    child_place inner_odd_place[children_most_sides]; // and odd half-edge
    child_place corner_at[children_most_sides];       // the child and corner at parent corner c
};

namespace children_detail {

constexpr child_ref ref(uint8_t kind, uint32_t index) { return {kind, uint8_t(index)}; }

// Fills what follows from the children's corners and sides: the scan order
// of the edges, where each lies, which inner sides are odd.
constexpr children_table complete(children_table t)
{
    bool met_inner[children_most_sides] = {};
    for (uint32_t k = 0; k < t.n_children; ++k) {
        for (uint32_t j = 0; j < t.child_size; ++j) {
            const child_ref e = t.side[k][j];
            const child_place here = {uint8_t(k), uint8_t(j)};
            if (e.kind == child_inner) {
                if (met_inner[e.index]) {
                    t.inner_odd[k] |= uint8_t(1u << j);
                    t.inner_odd_place[e.index] = here;
                    continue;
                }
                met_inner[e.index] = true;
                t.inner_even[e.index] = here;
            } else {
                // each half lies in one child
                (e.kind == child_half_origin ? t.half_origin : t.half_end)[e.index] = here;
            }
            t.edge_order[t.n_edges++] = e;
        }
        for (uint32_t j = 0; j < t.child_size; ++j)
            if (t.corner[k][j].kind == child_corner)
                t.corner_at[t.corner[k][j].index] = {uint8_t(k), uint8_t(j)};
    }
    return t;
}

constexpr children_table loop_table()
{
    children_table t = {};
    t.n_sides = 3;
    t.n_children = 4;
    t.child_size = 3;
    const uint8_t q = child_corner, m = child_edge_point;
    const child_ref corners[4][3] = {{ref(q, 0), ref(m, 0), ref(m, 2)},
                                     {ref(m, 0), ref(q, 1), ref(m, 1)},
                                     {ref(m, 1), ref(q, 2), ref(m, 2)},
                                     {ref(m, 1), ref(m, 2), ref(m, 0)}};
    const uint8_t a = child_half_origin, b = child_half_end, i = child_inner;
    const child_ref sides[4][3] = {{ref(a, 0), ref(i, 0), ref(b, 2)},
                                   {ref(b, 0), ref(a, 1), ref(i, 1)},
                                   {ref(b, 1), ref(a, 2), ref(i, 2)},
                                   {ref(i, 2), ref(i, 0), ref(i, 1)}};
    for (uint32_t k = 0; k < 4; ++k)
        for (uint32_t j = 0; j < 3; ++j) {
            t.corner[k][j] = corners[k][j];
            t.side[k][j] = sides[k][j];
        }
    return complete(t);
}

constexpr children_table catmull_clark_table(uint32_t n)
{
    children_table t = {};
    if (n < 3) return t;
    t.n_sides = uint8_t(n);
    t.n_children = uint8_t(n);
    t.child_size = 4;
    for (uint32_t c = 0; c < n; ++c) {
        const uint32_t before = (c + n - 1) % n;
        t.corner[c][0] = ref(child_corner, c);
        t.corner[c][1] = ref(child_edge_point, c);
        t.corner[c][2] = ref(child_face_point, 0);
        t.corner[c][3] = ref(child_edge_point, before);
        t.side[c][0] = ref(child_half_origin, c);
        t.side[c][1] = ref(child_inner, c);
        t.side[c][2] = ref(child_inner, before);
        t.side[c][3] = ref(child_half_end, before);
    }
    return complete(t);
}

struct catmull_clark_tables {
    children_table size[children_most_sides + 1];
};

constexpr catmull_clark_tables catmull_clark_all()
{
    catmull_clark_tables all = {};
    for (uint32_t n = 3; n <= children_most_sides; ++n) all.size[n] = catmull_clark_table(n);
    return all;
}

} // namespace children_detail

// The tables have internal linkage: every file that walks one sees its
// entries, which then fold into the code (a shared object could not assume
// that of one definition for all).

// The children of a triangle under Loop.
static constexpr children_table children_loop = children_detail::loop_table();

// The children of a face of n sides (3 to 15) under Catmull-Clark:
// children_catmull_clark.size[n].
static constexpr children_detail::catmull_clark_tables children_catmull_clark =
    children_detail::catmull_clark_all();

// The table of a face of n sides under the scheme (loop: Loop's, n = 3).
inline const children_table* children_of(bool loop, uint64_t n)
{
    return loop ? &children_loop : &children_catmull_clark.size[n];
}

// Numbers the new edges of a face's children from *next, in the table's
// scan order: visit(edge, number) for each edge the face numbers (its inner
// edges, and the halves of its sides c whose half-edge h[c] is even), where
// edge is the table's child_ref; inner[j] gets inner edge j's number.
template <typename Visit>
inline void children_number(const children_table& t, const uint64_t* h, uint64_t* next,
                            uint64_t* inner, const Visit& visit)
{
    uint64_t number = *next; // a local the visits' stores cannot touch
    // unrolled whole for a constant table, whose entries then fold away
#pragma GCC unroll 45
    for (uint32_t i = 0; i < t.n_edges; ++i) {
        const child_ref e = t.edge_order[i];
        if (e.kind == child_inner) {
            inner[e.index] = number;
            visit(e, number++);
        } else if (!(h[e.index] & 1)) {
            visit(e, number++);
        }
    }
    *next = number;
}

} // namespace subdiv
