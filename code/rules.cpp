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

// Whether the boundary vertex of this valence entry keeps its position: its
// boundary edges are its sharp ones.
static inline bool boundary_corner(uint64_t valence_entry, bool smooth_corners)
{
    const float sharpness = rule_implicit_corner(valence_entry, smooth_corners) ? 10.0f : 0.0f;
    return rule_of_vertex(sharpness, uint32_t(mesh_boundary_count(valence_entry))) ==
           vertex_corner;
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
        for (int axis = 0; axis < 3; ++axis)
            walk->out[axis][v] =
                rule_crease_vertex(walk->in[axis][v], walk->out[axis][v], walk->in[axis][other]);
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

// ---------------------------------------------------------------- sharp features

bool rule_drops_any(const float* sharpness, uint64_t n)
{
    for (uint64_t i = 0; sharpness && i < n; ++i)
        if (sharpness[i] > 0.0f && rule_decay(sharpness[i]) == 0.0f) return true;
    return false;
}

bool sharp_walk_begin(sharp_walk* walk, const float* const in[3], uint64_t stride,
                      uint64_t n_vertices, const float* vertex_sharpness, bool changes)
{
    *walk = sharp_walk{};
    for (int axis = 0; axis < 3; ++axis) walk->in[axis] = in[axis];
    walk->stride = stride;
    walk->vertex_sharpness = vertex_sharpness;
    const uint64_t V = n_vertices;
    walk->count = static_cast<uint8_t*>(mem_alloc(V));
    walk->crease = static_cast<float*>(mem_alloc(12 * V));
    bool allocated = walk->count && walk->crease;
    if (changes) {
        walk->child_count = static_cast<uint8_t*>(mem_alloc(V));
        walk->child_crease = static_cast<float*>(mem_alloc(12 * V));
        walk->drop_sum = static_cast<float*>(mem_alloc(4 * V));
        walk->drop_count = static_cast<uint32_t*>(mem_alloc(4 * V));
        allocated = allocated && walk->child_count && walk->child_crease && walk->drop_sum &&
                    walk->drop_count;
    }
    if (!allocated) {
        sharp_walk_end(walk);
        return false;
    }
    std::memset(walk->count, 0, V);
    if (!changes) return true;
    std::memset(walk->child_count, 0, V);
    std::memset(walk->drop_count, 0, 4 * V);
    for (uint64_t v = 0; v < V; ++v) {
        // the vertex's own sharpness first, when it drops to 0
        const float s = vertex_sharpness ? vertex_sharpness[v] : 0.0f;
        const bool drops = s > 0.0f && rule_decay(s) == 0.0f;
        walk->drop_sum[v] = drops ? 0.0f + s : 0.0f;
        walk->drop_count[v] = drops ? 1 : 0;
    }
    return true;
}

// One more sharp edge of vertex v, whose other end is `other`, into a count
// and a crease: the first leaves the other end, the second the crease rule.
static inline void sharp_walk_add(const sharp_walk* walk, uint8_t* count, float* crease,
                                  uint64_t v, uint64_t other)
{
    float* const c = crease + 3 * v;
    if (count[v] == 0) {
        for (int axis = 0; axis < 3; ++axis) c[axis] = walk->in[axis][walk->stride * other];
    } else if (count[v] == 1) {
        for (int axis = 0; axis < 3; ++axis)
            c[axis] = rule_crease_vertex(walk->in[axis][walk->stride * v], c[axis],
                                         walk->in[axis][walk->stride * other]);
    }
    if (count[v] < 3) count[v] += 1;
}

void sharp_walk_edge(sharp_walk* walk, uint64_t a, uint64_t b, float s)
{
    const bool stays = rule_decay(s) > 0.0f;
    const uint64_t ends[2] = {a, b};
    for (int side = 0; side < 2; ++side) {
        const uint64_t v = ends[side], other = ends[1 - side];
        sharp_walk_add(walk, walk->count, walk->crease, v, other);
        if (!walk->child_count) continue; // no rule changes in this step
        if (stays) {
            sharp_walk_add(walk, walk->child_count, walk->child_crease, v, other);
        } else {
            walk->drop_sum[v] = walk->drop_sum[v] + s;
            walk->drop_count[v] += 1;
        }
    }
}

void sharp_walk_vertex(const sharp_walk* walk, uint64_t v, bool implicit_corner, float point[3])
{
    const float given = walk->vertex_sharpness ? walk->vertex_sharpness[v] : 0.0f;
    const float s = implicit_corner && given < 10.0f ? 10.0f : given;
    const vertex_rule parent = rule_of_vertex(s, walk->count[v]);
    if (parent == vertex_smooth) return;
    const vertex_rule child = walk->child_count
                                  ? rule_of_vertex(rule_decay(s), walk->child_count[v])
                                  : parent;
    float w = 0.0f;
    if (child != parent) {
        w = walk->drop_sum[v] / float(walk->drop_count[v]);
        if (w > 1.0f) w = 1.0f;
    }
    for (int axis = 0; axis < 3; ++axis) {
        float* const out = point + axis;
        const float p = walk->in[axis][walk->stride * v];
        const float parent_point = parent == vertex_crease ? walk->crease[3 * v + axis] : p;
        if (child == parent) {
            *out = parent_point;
            continue;
        }
        const float child_point = child == vertex_smooth   ? *out
                                  : child == vertex_crease ? walk->child_crease[3 * v + axis]
                                                           : p;
        *out = rule_blend(parent_point, child_point, w);
    }
}

bool vertex_points_by_sharpness(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                bool smooth_corners)
{
    if (!mesh_in->edge_sharpness)
        return boundary_vertex_points(mesh_in, geom_in, geom_out, smooth_corners);
    const float* const in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const out[3] = {geom_out->x, geom_out->y, geom_out->z};
    sharp_walk walk;
    const bool changes = rule_drops_any(mesh_in->edge_sharpness, geom_in->n_edges) ||
                         rule_drops_any(mesh_in->vertex_sharpness, geom_in->n_vertices);
    if (!sharp_walk_begin(&walk, in, 1, geom_in->n_vertices, mesh_in->vertex_sharpness, changes))
        return false;
    const float* const sharpness = mesh_in->edge_sharpness;
    for (uint64_t e = 0; e < geom_in->n_edges; ++e)
        if (sharpness[e] > 0.0f)
            sharp_walk_edge(&walk, mesh_in->iedge_vertex[2 * e], mesh_in->iedge_vertex[2 * e + 1],
                            sharpness[e]);
    for (uint64_t v = 0; v < geom_in->n_vertices; ++v) {
        float point[3] = {out[0][v], out[1][v], out[2][v]};
        sharp_walk_vertex(&walk, v,
                          rule_implicit_corner(mesh_in->vertex_valence[v], smooth_corners), point);
        for (int axis = 0; axis < 3; ++axis) out[axis][v] = point[axis];
    }
    sharp_walk_end(&walk);
    return true;
}

void sharp_walk_end(sharp_walk* walk)
{
    mem_release(&walk->count);
    mem_release(&walk->child_count);
    mem_release(&walk->crease);
    mem_release(&walk->child_crease);
    mem_release(&walk->drop_sum);
    mem_release(&walk->drop_count);
}

} // namespace subdiv
