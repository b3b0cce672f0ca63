// The boundary rules of both schemes.
#include "boundary.h"

#include <cstring>

#include "storage.h"

namespace subdiv {

void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base)
{
    const float* const axis_in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const axis_out[3] = {geom_out->x, geom_out->y, geom_out->z};
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t a = mesh_in->iedge_vertex[2 * e], b = mesh_in->iedge_vertex[2 * e + 1];
        for (int axis = 0; axis < 3; ++axis)
            axis_out[axis][edge_point_base + e] = (axis_in[axis][a] + axis_in[axis][b]) * 0.5f;
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

bool boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners)
{
    walk->stride = stride;
    for (int axis = 0; axis < 3; ++axis) {
        walk->in[axis] = in[axis];
        walk->out[axis] = out[axis];
    }
    const uint64_t words = (n_vertices + 63) / 64;
    walk->met = static_cast<uint64_t*>(mem_alloc(words * 8));
    if (!walk->met) return false;
    std::memset(walk->met, 0, words * 8);
    walk->smooth_corners = smooth_corners;
    return true;
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
        for (int axis = 0; axis < 3; ++axis) {
            const float a = walk->out[axis][v], b = walk->in[axis][other];
            walk->out[axis][v] = (walk->in[axis][v] * 0.75f) + ((a + b) * 0.125f);
        }
    }
}

void boundary_walk_end(boundary_walk* walk) { mem_release(&walk->met); }

bool boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners)
{
    if (mesh_in->n_boundary_edges == 0) return true;
    const float* const in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const out[3] = {geom_out->x, geom_out->y, geom_out->z};
    boundary_walk walk;
    if (!boundary_walk_begin(&walk, in, out, 1, geom_in->n_vertices, smooth_corners)) return false;
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t ends[2] = {mesh_in->iedge_vertex[2 * e], mesh_in->iedge_vertex[2 * e + 1]};
        const uint64_t valence[2] = {mesh_in->vertex_valence[ends[0]],
                                     mesh_in->vertex_valence[ends[1]]};
        boundary_walk_edge(&walk, ends, valence);
    }
    boundary_walk_end(&walk);
    return true;
}

} // namespace subdiv
