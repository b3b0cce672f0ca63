// The point rules of both schemes, written once: the step that holds its
// level whole applies them eight lanes at a time, the last step of a
// streamed refinement one point at a time, and both give the same bits.
//
// Each rule is one expression per coordinate, every operation rounded to
// single precision in the order written (no fused multiply-add); the
// eight-lane form applies the same operations to each lane.
//
// Loop's rules: C. Loop, "Smooth Subdivision Surfaces Based on Triangles",
// Master's thesis, University of Utah, 1987. Catmull-Clark's: E. Catmull and
// J. Clark, "Recursively generated B-spline surfaces on arbitrary
// topological meshes", Computer-Aided Design 10(6), 1978. Sharp features:
// every edge and vertex of a level has a sharpness s (0 smooth, 10 or more
// infinitely sharp, between semi-sharp, one less at each level); boundary
// edges are infinitely sharp, and so is, unless corners are smooth, a
// boundary vertex on one face. A sharp edge's point is its midpoint (a
// semi-sharp one below 1 a blend with the smooth point); a vertex on one
// sharp edge or none is smooth, on two it follows the crease, on more, or
// sharp itself, it is a corner and stays; where the rule changes between a
// level and the next, the two rules' points are blended.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "simd.h"

namespace subdiv {

// ---------------------------------------------------------------- weights

// The weights of the Loop vertex rule for a vertex of the given valence n:
// *alpha for its old position and *beta for the sum of its neighbours, in
// single precision as angle = 2π / n, κ = cosf(angle),
// β = (0.625 − powf(0.25 κ + 0.375, 2)) × (1 / n), α = 1 − n β.
// Valence 0 gives α = 1 and β = −0, which keep the old position bit for bit.
void loop_vertex_weights(uint32_t valence, float* alpha, float* beta);

// The weights of the Catmull-Clark vertex rule for a vertex of valence k:
// *weight_old = (k − 2) / k for its old position and *weight_sum = 1 / k²
// for the sum of its face and edge points, in single precision (1/3 and 1/9
// for valence 3, 1/2 and 1/16 for valence 4). Valence 0 gives 1 and −0,
// which keep the old position bit for bit.
void catmull_clark_vertex_weights(uint64_t valence, float* weight_old, float* weight_sum);

// ---------------------------------------------------------------- face and edge points

// Catmull-Clark's face point from the sum of the face's n corners, taken in
// corner order from the first: sum / n.
static inline float rule_face_point(float corner_sum, uint32_t n) { return corner_sum / float(n); }

// The same for eight quads: (((c0 + c1) + c2) + c3) × 0.25, which is the
// sum divided by 4 bit for bit.
static inline f32x8 rule_face_point8(const f32x8 corners[4])
{
    return sum_scale8_f32(corners, 4, 0.25f);
}

// Catmull-Clark's edge point from the face points of the edge's two faces
// and its two ends: ((fa + fb) + (a + b)) × 0.25.
static inline float rule_cc_edge_point(float face_a, float face_b, float a, float b)
{
    return ((face_a + face_b) + (a + b)) * 0.25f;
}
static inline f32x8 rule_cc_edge_point8(const f32x8& face_a, const f32x8& face_b, const f32x8& a,
                                        const f32x8& b)
{
    return mul8_f32(add8_f32(add8_f32(face_a, face_b), add8_f32(a, b)), set1_8_f32(0.25f));
}

// Loop's edge point from the edge's ends a, b and the corners p, q opposite
// it in its two triangles: ((a + b) × 0.375) + ((p + q) × 0.125).
static inline float rule_loop_edge_point(float a, float b, float p, float q)
{
    return ((a + b) * 0.375f) + ((p + q) * 0.125f);
}
static inline f32x8 rule_loop_edge_point8(const f32x8& a, const f32x8& b, const f32x8& p,
                                          const f32x8& q)
{
    return add8_f32(mul8_f32(add8_f32(a, b), set1_8_f32(0.375f)),
                    mul8_f32(add8_f32(p, q), set1_8_f32(0.125f)));
}

// The edge point of a boundary (infinitely sharp) edge: (a + b) × 0.5.
static inline float rule_midpoint(float a, float b) { return (a + b) * 0.5f; }

// The sharpness a value of this level leaves to the next one:
// (s >= 10) ? 10 : (s > 1 ? s − 1 : 0).
static inline float rule_decay(float s) { return s >= 10.0f ? 10.0f : (s > 1.0f ? s - 1.0f : 0.0f); }

// The edge point of an edge of sharpness s with ends a and b, given the
// scheme's smooth point: s == 0 the smooth point, s >= 1 the midpoint
// mid = (a + b) × 0.5, between (mid × s) + (smooth × (1 − s)).
static inline float rule_sharp_edge(float smooth, float a, float b, float s)
{
    if (s == 0.0f) return smooth;
    const float mid = rule_midpoint(a, b);
    if (s >= 1.0f) return mid;
    return (mid * s) + (smooth * (1.0f - s));
}
static inline f32x8 rule_sharp_edge8(const f32x8& smooth, const f32x8& a, const f32x8& b,
                                     const f32x8& s)
{
    const f32x8 one = set1_8_f32(1.0f);
    const f32x8 mid = mul8_f32(add8_f32(a, b), set1_8_f32(0.5f));
    const f32x8 blend = add8_f32(mul8_f32(mid, s), mul8_f32(smooth, sub8_f32(one, s)));
    const f32x8 sharp = select8_f32(greater_equal8_f32(s, one), mid, blend);
    return select8_f32(equal8_f32(s, set1_8_f32(0.0f)), smooth, sharp);
}

// ---------------------------------------------------------------- vertex points

// A smooth vertex of either scheme: (weight_old × P) + (weight_sum × S), S
// the sum the scheme gathers (Loop: the neighbours in ascending edge order;
// Catmull-Clark: the face points of its faces in ascending face order, then
// the edge points of its edges in ascending edge order).
static inline float rule_smooth_vertex(float p, float weight_old, float sum, float weight_sum)
{
    return (weight_old * p) + (weight_sum * sum);
}
static inline f32x8 rule_smooth_vertex8(const f32x8& p, const f32x8& weight_old, const f32x8& sum,
                                        const f32x8& weight_sum)
{
    return add8_f32(mul8_f32(weight_old, p), mul8_f32(weight_sum, sum));
}

// A vertex on a crease (two sharp edges, a boundary among them) with a and
// b the other ends of its two sharp edges: (P × 0.75) + ((a + b) × 0.125).
// A corner keeps P.
static inline float rule_crease_vertex(float p, float a, float b)
{
    return (p * 0.75f) + ((a + b) * 0.125f);
}

// Which rule moves a vertex.
enum vertex_rule : uint8_t {
    vertex_smooth = 0, // the scheme's smooth rule
    vertex_crease = 1, // rule_crease_vertex with its two sharp edges
    vertex_corner = 2, // it keeps its position
};

// The rule of a vertex of sharpness vertex_sharpness on sharp_edges edges
// of sharpness above 0 (boundary edges among them): a corner when it is
// sharp itself or on three or more, a crease on two, else smooth.
static inline vertex_rule rule_of_vertex(float vertex_sharpness, uint32_t sharp_edges)
{
    if (vertex_sharpness > 0.0f || sharp_edges >= 3) return vertex_corner;
    return sharp_edges == 2 ? vertex_crease : vertex_smooth;
}

// Whether the vertex of this valence entry is a boundary vertex on one face
// (two edges, both on the boundary), which is an infinitely sharp corner
// unless corners are smooth.
static inline bool rule_implicit_corner(uint64_t valence_entry, bool smooth_corners)
{
    return !smooth_corners && mesh_valence(valence_entry) == 2 &&
           mesh_boundary_count(valence_entry) == 2;
}

// A vertex whose rule changes from this level to the next: the point of
// this level's rule blended with that of the next level's rule (applied to
// this level's points) by the weight w: (parent × w) + (child × (1 − w)).
static inline float rule_blend(float parent, float child, float w)
{
    return (parent * w) + (child * (1.0f - w));
}

// ---------------------------------------------------------------- the boundary

// The edge point of each boundary edge e of mesh_in into geom_out at
// edge_point_base + e, by rule_midpoint of the edge's ends in geom_in.
void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base);

// The new position of each boundary vertex v of mesh_in into geom_out at v.
// A corner (a vertex on a number of boundary edges other than two, or, unless
// smooth_corners, on one face only) keeps its position bit for bit; any other
// takes rule_crease_vertex with the other ends of its two boundary edges.
// Reads mesh_in's boundary list, valences and half-edge origins. Returns
// false, having written nothing, when memory is refused.
bool boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners);

// The same rule edge by edge, for callers that meet the boundary edges one
// at a time: begin, then each boundary edge in ascending order with its two
// ends and their valence entries, then end. Reads the positions in and
// writes the boundary vertices' new positions into out (which may hold
// anything there before); axis a of vertex v is in[a][stride v]. begin
// returns false, holding nothing, when memory is refused.
struct boundary_walk {
    const float* in[3];
    float* out[3];
    uint64_t stride;
    uint64_t* met; // a bit per vertex: its boundary edge of lower index has passed
    bool smooth_corners;
};
bool boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners);
void boundary_walk_edge(boundary_walk* walk, const uint64_t ends[2], const uint64_t valence[2]);
void boundary_walk_end(boundary_walk* walk);

// ---------------------------------------------------------------- sharp features

// The vertex points of a step into geom_out, which holds the smooth rule's
// at every vertex of geom_in: without sharp features the boundary rules
// (boundary_vertex_points); with them (mesh_in's edge_sharpness), every
// vertex by its own sharpness and its sharp edges, blended where the rule
// changes. Returns false when the memory the rules need is refused.
bool vertex_points_by_sharpness(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                bool smooth_corners);

// The vertex rules of a level with sharp features, gathered edge by edge:
// begin, then each edge of sharpness above 0 (boundary edges at 10) in
// ascending order, then each vertex's point, then end. Axis a of vertex v's
// position is in[a][stride v].
struct sharp_walk {
    const float* in[3];
    uint64_t stride;
    const float* vertex_sharpness; // per vertex, or null: the sharpness each was given
    uint8_t* count;       // per vertex: its edges of sharpness above 0, at most 3 counted
    float* crease;        // 3 per vertex: the crease rule over its first two sharp edges
                          // (after the first, that edge's other end)
    // with changes only, else null:
    uint8_t* child_count; // the count of the sharpness they leave to the next level
    float* child_crease;  // the crease over its first two that stay sharp
    float* drop_sum;      // per vertex: the sharpness values that drop to 0 in the step,
                          // its own first, then its edges' in ascending order, from 0
    uint32_t* drop_count; // how many they are
};

// Whether any of the n sharpness values drops to 0 in the next step (lies
// in (0, 1]): only then can a rule change between a level and the next.
bool rule_drops_any(const float* sharpness, uint64_t n);

// Starts a walk over a level of n_vertices vertices. Without changes (no
// sharpness of the level drops to 0 in the step) the next level's rules
// are this level's, and the walk keeps no record of them. Returns false,
// holding nothing, when the memory it needs is refused.
bool sharp_walk_begin(sharp_walk* walk, const float* const in[3], uint64_t stride,
                      uint64_t n_vertices, const float* vertex_sharpness, bool changes);

// An edge from a to b of sharpness s > 0, after every edge of lower index.
void sharp_walk_edge(sharp_walk* walk, uint64_t a, uint64_t b, float s);

// Vertex v's point, which holds the smooth rule's on entry: a vertex of the
// boundary on one face is an implicit corner (sharpness 10) unless corners
// are smooth.
void sharp_walk_vertex(const sharp_walk* walk, uint64_t v, bool implicit_corner, float point[3]);

void sharp_walk_end(sharp_walk* walk);

// ---------------------------------------------------------------- the limit surface

// Where the vertices of a level converge under endless steps, and the
// surface's normal there: masks over a vertex's ring of neighbours, the left
// eigenvectors of each rule's local subdivision matrix (J. Halstead, M. Kass
// and T. DeRose, "Efficient, fair interpolation using Catmull-Clark
// surfaces", SIGGRAPH 1993; Loop 1987; H. Biermann, A. Levin and D. Zorin,
// "Piecewise smooth subdivision surfaces with normal control", SIGGRAPH 2000,
// for creases and boundaries). A Catmull-Clark ring must be of quads.
// Computed in double precision, scalar, in the order written, and rounded to
// single precision at the end.

// What a neighbour of a ring has (limit_ring.flags).
enum limit_ring_flag : uint8_t {
    ring_sharp = 1, // the edge to it is sharp at this level (sharpness above 0, or the boundary)
    ring_face = 2,  // a face lies between it and the next neighbour of its fan
};

// A vertex V and its neighbours at one level. The neighbours P_i, the other
// ends of its edges, come fan by fan, each fan in the order the faces turn
// round V (counter-clockwise seen from outside); the first fan starts at the
// vertex's outgoing half-edge in its lowest face, or on the boundary at the
// one whose twin has no face, and an open fan ends with the far end of its
// arriving boundary edge. Catmull-Clark: D_i is the corner of the quad
// between P_i and the next neighbour opposite V. A vertex where several fans
// meet takes its position from all of them and its normal from the first.
struct limit_ring {
    float v[3];
    vertex_rule rule;  // the vertex's rule at this level
    uint32_t n;        // the neighbours, over every fan
    uint32_t fan;      // those of the first fan
    bool fan_closed;   // whether the first fan closes round V
    float* p;          // 3 n floats: P_i
    float* d;          // 3 n floats: D_i where flags[i] has ring_face (Catmull-Clark)
    uint8_t* flags;    // n entries of limit_ring_flag
};

// Valences whose smooth tangent weights are tabled; higher ones are computed
// each time, by the same function.
constexpr uint32_t limit_tabled_valences = 64;

// The weights of a scheme's masks, computed once per job.
struct limit_masks {
    bool loop;
    bool classic;        // Catmull-Clark's classic vertex rule
    double* tangent;     // per valence n below limit_tabled_valences, at 2 (n (n - 1) / 2 + i):
                         // the smooth tangent weights of neighbour i (limit_smooth_weights)
    double loop_chi[limit_tabled_valences]; // Loop: the position weight of the neighbours
};

// Fills the weights of the scheme (loop, else Catmull-Clark with the classic
// or the edge-points vertex rule). Returns false, holding nothing, when
// memory is refused.
bool limit_masks_init(limit_masks* masks, bool loop, bool classic);
void limit_masks_free(limit_masks* masks);

// The limit position of the ring's vertex by its rule: a corner stays; a
// crease (A + 4 V + B) / 6 over its first two sharp edges A and B; a smooth
// vertex of valence n, Loop (1 - n chi) V + chi sum P_i with
// chi = 1 / (n + 3 / (8 beta)), Catmull-Clark (n^2 V + 4 sum P_i + sum D_i) /
// (n (n + 5)) (classic) or (n^2 V + 3 sum P_i + sum D_i) / (n (n + 4)) (edge
// points). A vertex on no edge stays.
void limit_position(const limit_masks* masks, const limit_ring* ring, float out[3]);

// The unit normal of the limit surface at the ring's vertex, oriented as the
// faces turn (outward on a closed surface): T1 x T2 normalised. Smooth: the
// tangents of the first fan; a crease whose two sharp edges bound a sector of
// the first fan: T1 = A - B and the tangent across it; a corner: A - V and
// B - V over the sector of its first two sharp edges, turned to the sector's
// side. Where those give no plane, the normal of the fan's faces, (0, 0, 0)
// for none.
void limit_normal(const limit_masks* masks, const limit_ring* ring, float out[3]);

} // namespace subdiv
