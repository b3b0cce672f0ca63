// Texture coordinates and materials through one step.
#include "face_varying.h"

#include <cstring>

#include "check.h"
#include "options.h"
#include "rules.h"
#include "storage.h"
#include "uv_modes.h"

namespace subdiv {

// The faces of geom_in as the steps see them: for face f, its first corner's
// place in the corner order and its number of corners, and the half-edge of
// each side.
struct face_sides {
    const geom* g;
    const mesh* m;
    int n; // uniform face size, or 0 for faces of any sizes
};

static inline uint64_t face_first(const face_sides* s, uint64_t f)
{
    return s->n ? f * uint64_t(s->n) : s->g->face_start[f];
}

static inline uint64_t face_size(const face_sides* s, uint64_t f)
{
    return s->n ? uint64_t(s->n) : s->g->face_start[f + 1] - s->g->face_start[f];
}

static inline uint64_t face_side(const face_sides* s, uint64_t f, uint64_t k)
{
    if (!s->n) return s->m->corner_iedge[s->g->face_start[f] + k];
    const uint64_t* const face_iedge[4] = {s->m->face_iedge0, s->m->face_iedge1,
                                           s->m->face_iedge2, s->m->face_iedge3};
    return face_iedge[k][f];
}

bool texcoords_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                    const subdiv_options* options)
{
    if (!geom_in->tex_u) return true;
    const face_sides sides = {geom_in, mesh_in, geom_face_size(geom_in)};
    const bool loop = geom_face_size(geom_out) == 3;
    const uint64_t F = geom_in->n_faces, E = geom_in->n_edges, U = geom_in->n_texcoords;
    const uint64_t* const ct = geom_in->corner_texcoord;

    // the other modes: the corners' new values, over the face points' values
    const subdiv_uv_mode mode = options_uv_mode(options);
    const bool linear = mode == subdiv_uv_linear;
    uv_level level = {mesh_in, geom_in, mode, loop, options_classic_rule(options),
                      options_smooth_corners(options), nullptr, nullptr, nullptr};
    uv_moved moved = {};
    float* face_uv = nullptr;
    // what the other modes hold, let go at every return
    auto release = [&] {
        mem_free(face_uv);
        uv_level_release(&level);
        uv_moved_free(&moved);
    };
    if (!linear) {
        face_uv = loop ? nullptr : static_cast<float*>(mem_alloc_array(F, 8));
        if (!loop && !face_uv) return false;
        if (face_uv) uv_face_points(&level, 0, F, face_uv);
        level.face_uv = face_uv;
        if (!uv_level_prepare(&level, options_threads(options)) ||
            !uv_moved_compute(&level, options_threads(options), &moved)) {
            release();
            return false;
        }
    }

    // the coordinates at the two ends of each half-edge in its face (none on
    // the side of a boundary edge that no face holds)
    auto* from = static_cast<uint64_t*>(mem_alloc(2 * E * 8));
    auto* to = static_cast<uint64_t*>(mem_alloc(2 * E * 8));
    if (!from || !to) {
        mem_free(from);
        mem_free(to);
        release();
        return false;
    }
    std::memset(from, 0xFF, 2 * E * 8);
    for (uint64_t f = 0; f < F; ++f) {
        const uint64_t first = face_first(&sides, f), n = face_size(&sides, f);
        for (uint64_t k = 0; k < n; ++k) {
            const uint64_t h = face_side(&sides, f, k);
            from[h] = ct[first + k];
            to[h] = ct[first + (k + 1) % n];
        }
    }

    // the edge points' coordinates: one per edge, two on a seam; `from`
    // becomes each half-edge's coordinate at its edge point
    const uint64_t edge_base = U + (loop ? 0 : F);
    uint64_t next = edge_base;
    auto* side_point = to; // reused below, after its last read per edge
    const float* const tex_in[2] = {geom_in->tex_u, geom_in->tex_v};
    // count first: the output's arrays are allocated at their size
    for (uint64_t e = 0; e < E; ++e) {
        const uint64_t h = 2 * e, t = h + 1;
        const bool seam = from[t] != UINT64_MAX && (from[h] != to[t] || to[h] != from[t]);
        next += seam ? 2 : 1;
    }
    // the extra values of the other modes after the edges'
    const uint64_t extra_base = next;
    if (!geom_alloc_texcoords(geom_out, next + moved.n_extra)) {
        mem_free(from);
        mem_free(to);
        release();
        return false;
    }
    float* const tex_out[2] = {geom_out->tex_u, geom_out->tex_v};
    const float* const kept[2] = {linear ? tex_in[0] : moved.u, linear ? tex_in[1] : moved.v};
    for (int axis = 0; axis < 2; ++axis) std::memcpy(tex_out[axis], kept[axis], U * 4);
    for (uint64_t x = 0; x < moved.n_extra; ++x)
        for (int axis = 0; axis < 2; ++axis)
            tex_out[axis][extra_base + x] = axis ? moved.v[U + x] : moved.u[U + x];
    next = edge_base;
    for (uint64_t e = 0; e < E; ++e) {
        const uint64_t h = 2 * e, t = h + 1;
        const bool boundary = from[t] == UINT64_MAX;
        const bool seam = !boundary && (from[h] != to[t] || to[h] != from[t]);
        const uint64_t even_point = next++;
        uint64_t odd_point = even_point;
        if (seam) odd_point = next++;
        if (!linear) {
            float points[2][2];
            CHECK(uv_edge_points(&level, e, points) == (seam ? 2u : 1u),
                  "texcoords_step: edge %llu's sides", (unsigned long long)e);
            for (int axis = 0; axis < 2; ++axis) {
                tex_out[axis][even_point] = points[0][axis];
                tex_out[axis][odd_point] = points[seam ? 1 : 0][axis];
            }
        } else {
            for (int axis = 0; axis < 2; ++axis)
                tex_out[axis][even_point] =
                    rule_midpoint(tex_in[axis][from[h]], tex_in[axis][to[h]]);
            for (int axis = 0; seam && axis < 2; ++axis)
                tex_out[axis][odd_point] =
                    rule_midpoint(tex_in[axis][from[t]], tex_in[axis][to[t]]);
        }
        side_point[h] = even_point;
        side_point[t] = odd_point;
    }
    mem_release(&face_uv);
    level.face_uv = nullptr;

    // the face points' coordinates (Catmull-Clark)
    for (uint64_t f = 0; !loop && f < F; ++f) {
        const uint64_t first = face_first(&sides, f), n = face_size(&sides, f);
        for (int axis = 0; axis < 2; ++axis) {
            float sum = tex_in[axis][ct[first]];
            for (uint64_t k = 1; k < n; ++k) sum = sum + tex_in[axis][ct[first + k]];
            tex_out[axis][U + f] = rule_face_point(sum, uint32_t(n));
        }
    }

    // the children's corners, in the children's corner tables; a corner
    // whose value is an extra one takes its number
    const uint64_t* const extra = moved.corner_extra;
    auto corner = [&](uint64_t c) {
        return extra && extra[c] != UINT64_MAX ? extra_base + extra[c] : ct[c];
    };
    uint64_t* const out = geom_out->corner_texcoord;
    for (uint64_t f = 0; f < F; ++f) {
        const uint64_t first = face_first(&sides, f), n = face_size(&sides, f);
        if (loop) {
            // children (c0 m0 m2) (m0 c1 m1) (m1 c2 m2) (m1 m2 m0)
            const uint64_t c[3] = {corner(first), corner(first + 1), corner(first + 2)};
            const uint64_t m[3] = {side_point[face_side(&sides, f, 0)],
                                   side_point[face_side(&sides, f, 1)],
                                   side_point[face_side(&sides, f, 2)]};
            const uint64_t children[12] = {c[0], m[0], m[2], m[0], c[1], m[1],
                                           m[1], c[2], m[2], m[1], m[2], m[0]};
            std::memcpy(out + 12 * f, children, sizeof children);
            continue;
        }
        // child c: (corner c, edge point of c–c+1, face point, edge point of c−1–c)
        for (uint64_t k = 0; k < n; ++k) {
            uint64_t* child = out + 4 * (first + k);
            child[0] = corner(first + k);
            child[1] = side_point[face_side(&sides, f, k)];
            child[2] = U + f;
            child[3] = side_point[face_side(&sides, f, (k + n - 1) % n)];
        }
    }
    mem_free(from);
    mem_free(to);
    release();
    return true;
}

bool materials_step(const geom* geom_in, geom* geom_out)
{
    if (!geom_in->face_material) return true;
    const int n = geom_face_size(geom_in);
    const bool loop = geom_face_size(geom_out) == 3;
    geom_out->face_material = static_cast<int32_t*>(mem_alloc(geom_out->n_faces * 4));
    if (!geom_out->face_material) return false;
    for (uint64_t f = 0; f < geom_in->n_faces; ++f) {
        // the children of f: four from 4f, or one per corner from its first
        const uint64_t first = n || loop ? 4 * f : geom_in->face_start[f];
        const uint64_t count = n || loop ? 4 : geom_in->face_start[f + 1] - first;
        for (uint64_t c = 0; c < count; ++c) geom_out->face_material[first + c] = geom_in->face_material[f];
    }
    CHECK(geom_out->n_faces == (n ? 4 * geom_in->n_faces : geom_corner_count(geom_in)),
          "materials_step: %llu faces out of %llu", (unsigned long long)geom_out->n_faces,
          (unsigned long long)geom_in->n_faces);
    // the names and the library stay what the input had
    return geom_copy_material_names(geom_in, geom_out);
}

} // namespace subdiv
