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
// topological meshes", Computer-Aided Design 10(6), 1978. The boundary
// rules are those of a crease: an edge point at the edge's midpoint, a
// vertex on two boundary edges at (P × 0.75) + ((a + b) × 0.125).
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

// ---------------------------------------------------------------- the boundary

// The edge point of each boundary edge e of mesh_in into geom_out at
// edge_point_base + e, by rule_midpoint of the edge's ends in geom_in.
void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base);

// The new position of each boundary vertex v of mesh_in into geom_out at v.
// A corner (a vertex on a number of boundary edges other than two, or, unless
// smooth_corners, on one face only) keeps its position bit for bit; any other
// takes rule_crease_vertex with the other ends of its two boundary edges.
// Reads mesh_in's boundary list, valences and half-edge origins.
void boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners);

// The same rule edge by edge, for callers that meet the boundary edges one
// at a time: begin, then each boundary edge in ascending order with its two
// ends and their valence entries, then end. Reads the positions in and
// writes the boundary vertices' new positions into out (which may hold
// anything there before); axis a of vertex v is in[a][stride v].
struct boundary_walk {
    const float* in[3];
    float* out[3];
    uint64_t stride;
    uint64_t* met; // a bit per vertex: its boundary edge of lower index has passed
    bool smooth_corners;
};
void boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners);
void boundary_walk_edge(boundary_walk* walk, const uint64_t ends[2], const uint64_t valence[2]);
void boundary_walk_end(boundary_walk* walk);

} // namespace subdiv
