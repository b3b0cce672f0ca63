// The point rules of both schemes: the vertex rules' weights and the
// boundary rules.
//
// This file is compiled with -fno-builtin-powf: the Loop vertex rule calls
// the library's single-precision powf, which the compiler would otherwise
// fold into a product that rounds differently for some arguments.
#include "rules.h"

#include <cmath>
#include <cstring>

#include "storage.h"

namespace subdiv {

// pi in single precision (bits 0x40490FDB).
static const float loop_pi = 3.14159274f;

void loop_vertex_weights(uint32_t valence, float* alpha, float* beta)
{
    if (valence == 0) {
        // a vertex on no edge stays where it is: P × 1 + 0 × (−0) is P for
        // every P, −0 included
        *alpha = 1.0f;
        *beta = -0.0f;
        return;
    }
    const float n = float(valence);
    const float angle = (2.0f * loop_pi) / n;
    const float kappa = cosf(angle);
    const float b = (0.625f - powf(0.25f * kappa + 0.375f, 2.0f)) * (1.0f / n);
    *alpha = 1.0f - n * b;
    *beta = b;
}

void catmull_clark_vertex_weights(uint64_t valence, float* weight_old, float* weight_sum)
{
    if (valence == 0) {
        // a vertex on no face stays where it is: 1 × P + (−0) × 0 is P for
        // every P, −0 included
        *weight_old = 1.0f;
        *weight_sum = -0.0f;
        return;
    }
    const float k = float(valence);
    *weight_old = (k - 2.0f) / k;
    *weight_sum = 1.0f / (k * k);
}

// ---------------------------------------------------------------- the boundary

void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base)
{
    const float* const axis_in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const axis_out[3] = {geom_out->x, geom_out->y, geom_out->z};
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t a = mesh_in->iedge_vertex[2 * e], b = mesh_in->iedge_vertex[2 * e + 1];
        for (int axis = 0; axis < 3; ++axis)
            axis_out[axis][edge_point_base + e] = rule_midpoint(axis_in[axis][a], axis_in[axis][b]);
    }
}

// Whether the boundary vertex of this valence entry keeps its position.
static inline bool boundary_corner(uint64_t valence_entry, bool smooth_corners)
{
    const uint64_t boundary = mesh_boundary_count(valence_entry);
    if (boundary != 2) return true;
    // two boundary edges: the faces at the vertex are its edges less one
    return !smooth_corners && mesh_valence(valence_entry) == 2;
}

void boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners)
{
    walk->stride = stride;
    for (int axis = 0; axis < 3; ++axis) {
        walk->in[axis] = in[axis];
        walk->out[axis] = out[axis];
    }
    const uint64_t words = (n_vertices + 63) / 64;
    walk->met = static_cast<uint64_t*>(mem_alloc(words * 8));
    std::memset(walk->met, 0, words * 8);
    walk->smooth_corners = smooth_corners;
}

void boundary_walk_edge(boundary_walk* walk, const uint64_t ends[2], const uint64_t valence[2])
{
    for (int side = 0; side < 2; ++side) {
        const uint64_t v = walk->stride * ends[side], other = walk->stride * ends[1 - side];
        if (boundary_corner(valence[side], walk->smooth_corners)) {
            for (int axis = 0; axis < 3; ++axis) walk->out[axis][v] = walk->in[axis][v];
            continue;
        }
        // the first boundary edge leaves the other end's position in the
        // vertex's slot, the second combines it with its own
        uint64_t& word = walk->met[ends[side] / 64];
        const uint64_t bit = uint64_t(1) << (ends[side] % 64);
        if (!(word & bit)) {
            word |= bit;
            for (int axis = 0; axis < 3; ++axis) walk->out[axis][v] = walk->in[axis][other];
            continue;
        }
        for (int axis = 0; axis < 3; ++axis)
            walk->out[axis][v] =
                rule_crease_vertex(walk->in[axis][v], walk->out[axis][v], walk->in[axis][other]);
    }
}

void boundary_walk_end(boundary_walk* walk) { mem_release(&walk->met); }

void boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners)
{
    if (mesh_in->n_boundary_edges == 0) return;
    const float* const in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const out[3] = {geom_out->x, geom_out->y, geom_out->z};
    boundary_walk walk;
    boundary_walk_begin(&walk, in, out, 1, geom_in->n_vertices, smooth_corners);
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t ends[2] = {mesh_in->iedge_vertex[2 * e], mesh_in->iedge_vertex[2 * e + 1]};
        const uint64_t valence[2] = {mesh_in->vertex_valence[ends[0]],
                                     mesh_in->vertex_valence[ends[1]]};
        boundary_walk_edge(&walk, ends, valence);
    }
    boundary_walk_end(&walk);
}

} // namespace subdiv
