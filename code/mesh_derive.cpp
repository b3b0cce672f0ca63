// The connectivity of a subdivision step's output, numbered from the input's
// connectivity instead of through the edge map.
//
// mesh_build numbers edges in the order a scan of the faces, each from corner
// 0, first meets them, and gives the even half-edge of a new edge to the face
// that meets it first. A step's children of old face f follow those of every
// earlier face, so the scan of the output meets the edges of f's children
// after theirs, in the order of the children's table (children.h). The
// children of f meet:
//
//   - its inner edges (between edge points, or edge points and the face
//     point), which no other face's children meet: new in f;
//   - the two halves of each old edge of f. Both halves are met by the
//     children of the old edge's two faces only, and first by those of the
//     face that met the old edge first: the face that holds its even
//     half-edge.
//
// So a sequential pass over the old faces numbers every edge as mesh_build
// would, given for each old half-edge h of an odd side the numbers that the
// earlier face of its even twin gave the two halves. The scratch array split
// holds them: split[h] is the number of the half of edge h >> 1 that touches
// the origin of h, so a face reads split[h] and split[h ^ 1] for either side.
//
// The two halves of a boundary edge are boundary edges: their odd half-edges
// have no face, and they join the output's list of boundary edges in the
// order they are numbered, which is ascending.
#include "mesh_derive.h"

#include <cstring>

#include "check.h"
#include "children.h"
#include "rules.h"
#include "storage.h"

namespace subdiv {

// The arrays of mesh_out that a child face fills: its half-edges in corner
// order, each with its origin (the child's corner), its face and its next.
__attribute__((always_inline)) static inline void
mesh_derive_child(mesh* m, const uint64_t* const corner[4], uint64_t child, const uint64_t* h,
                  const int n)
{
    uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                     m->face_iedge3};
    for (int k = 0; k < n; ++k) {
        face_iedge[k][child] = h[k];
        m->iedge_vertex[h[k]] = corner[k][child];
        m->iedge_face[h[k]] = child;
        m->iedge_next[h[k]] = h[(k + 1) % n];
    }
}

// Old vertices keep their valence entries; every new vertex gets
// new_valence, but the edge points (from edge_point_base) of the input's
// boundary edges, which lie on boundary_valence edges, two of them boundary
// edges.
static void mesh_derive_valences(mesh* m, const mesh* mesh_in, uint64_t n_old,
                                 uint64_t n_vertices, uint64_t new_valence,
                                 uint64_t edge_point_base, uint64_t boundary_valence)
{
    std::memcpy(m->vertex_valence, mesh_in->vertex_valence, n_old * 8);
    for (uint64_t v = n_old; v < n_vertices; ++v) m->vertex_valence[v] = new_valence;
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i)
        m->vertex_valence[edge_point_base + mesh_in->boundary_edges[i]] =
            mesh_valence_entry(boundary_valence, 2);
}

// The boundary edges of the input as bits (null when there are none) and the
// output's list, room for the two halves of each.
struct derive_boundary {
    uint64_t* is_boundary; // bit e of word e / 64: edge e of the input is a boundary edge
    mesh* out;             // the output, whose boundary list grows
};

// What every derivation allocates besides the output's connectivity: the
// scratch array split (2E entries of the input) and the boundary's bits and
// list. Allocates all of it, with *out; returns false, holding nothing, when
// memory is refused.
static bool derive_alloc(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                         mesh* out, uint64_t** split, derive_boundary* b)
{
    const uint64_t n_edges = geom_in->n_edges, n_boundary = mesh_in->n_boundary_edges;
    const uint64_t words = (n_edges + 63) / 64;
    *b = derive_boundary{nullptr, out};
    *split = nullptr;
    if (!mesh_alloc(out, geom_out, true)) return false;
    *split = static_cast<uint64_t*>(mem_alloc(n_edges * 16));
    out->boundary_edges = static_cast<uint64_t*>(mem_alloc(2 * n_boundary * 8));
    out->n_boundary_edges = 0;
    if (n_boundary > 0) b->is_boundary = static_cast<uint64_t*>(mem_alloc(words * 8));
    if (!*split || !out->boundary_edges || (n_boundary > 0 && !b->is_boundary)) {
        mesh_free(out);
        mem_release(split);
        mem_release(&b->is_boundary);
        return false;
    }
    if (n_boundary == 0) return true;
    std::memset(b->is_boundary, 0, words * 8);
    for (uint64_t i = 0; i < n_boundary; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        b->is_boundary[e / 64] |= uint64_t(1) << (e % 64);
    }
    return true;
}

// Whether half-edge h of the input lies on a boundary edge.
static inline bool derive_on_boundary(const derive_boundary* b, uint64_t h)
{
    const uint64_t e = h >> 1;
    return b->is_boundary && ((b->is_boundary[e / 64] >> (e % 64)) & 1);
}

// Output edge `edge`, a half of a boundary edge, is a boundary edge: its odd
// half-edge, from `origin`, has no face; it joins the list.
static inline void derive_boundary_half(derive_boundary* b, uint64_t edge, uint64_t origin)
{
    mesh* m = b->out;
    m->iedge_vertex[2 * edge + 1] = origin;
    m->iedge_face[2 * edge + 1] = mesh_no_face;
    m->iedge_next[2 * edge + 1] = mesh_no_face;
    m->boundary_edges[m->n_boundary_edges++] = edge;
}

// The vertices' sharpness of a step's output, when its input has any: the
// old vertices keep what theirs leaves to the next level, new ones have none.
static bool derive_vertex_sharpness(const mesh* mesh_in, const geom* geom_in,
                                    const geom* geom_out, mesh* mesh_out)
{
    if (!mesh_in->vertex_sharpness) return true;
    const uint64_t V = geom_in->n_vertices, V_out = geom_out->n_vertices;
    mesh_out->vertex_sharpness = static_cast<float*>(mem_alloc(V_out * 4));
    if (!mesh_out->vertex_sharpness) return false;
    for (uint64_t v = 0; v < V; ++v)
        mesh_out->vertex_sharpness[v] = rule_decay(mesh_in->vertex_sharpness[v]);
    std::memset(mesh_out->vertex_sharpness + V, 0, (V_out - V) * 4);
    return true;
}

// The children of parent face f, numbered from *next: f's sides run along
// the half-edges h, its children are first_child on,
// their corners already in corner. Records the halves f numbers in split
// and in the boundary list, and fills the children's half-edges.
__attribute__((always_inline)) static inline void
derive_face(const children_table& t, mesh* mesh_out, derive_boundary* boundary,
            const uint64_t* const corner[4], uint64_t* split, const uint64_t* h,
            uint64_t first_child, uint64_t edge_point_base, const float* sharpness_in,
            uint64_t* next)
{
    uint64_t inner[children_most_sides];
    children_number(t, h, next, inner, [&](child_ref e, uint64_t number) {
        if (e.kind == child_inner) return;
        const uint64_t side = h[e.index];
        split[e.kind == child_half_origin ? side : side ^ 1] = number;
        // both halves of a sharp edge keep what its sharpness leaves; inner
        // edges are smooth
        if (sharpness_in) mesh_out->edge_sharpness[number] = rule_decay(sharpness_in[side >> 1]);
    });
    if (boundary->is_boundary) {
        // the halves of boundary sides join the list in the order numbered;
        // a half's odd half-edge, which no face holds, runs from the edge
        // point back to the side's origin (A), or from the side's end (B)
        for (uint32_t i = 0; i < t.n_edges; ++i) {
            const child_ref e = t.edge_order[i];
            if (e.kind == child_inner || (h[e.index] & 1)) continue;
            const uint64_t side = h[e.index];
            if (!derive_on_boundary(boundary, side)) continue;
            uint64_t origin = edge_point_base + (side >> 1);
            if (e.kind == child_half_end) {
                const child_place end = t.corner_at[(e.index + 1) % t.n_sides];
                origin = corner[end.slot][first_child + end.child];
            }
            derive_boundary_half(boundary, split[e.kind == child_half_origin ? side : side ^ 1],
                                 origin);
        }
    }
    // the first face to meet an edge takes its even half-edge
#pragma GCC unroll 15
    for (uint32_t k = 0; k < t.n_children; ++k) {
        uint64_t child_iedge[4];
#pragma GCC unroll 4
        for (uint32_t j = 0; j < t.child_size; ++j) {
            const child_ref e = t.side[k][j];
            if (e.kind == child_inner) {
                child_iedge[j] = 2 * inner[e.index] + ((t.inner_odd[k] >> j) & 1);
            } else {
                const uint64_t side = h[e.index];
                child_iedge[j] = 2 * split[e.kind == child_half_origin ? side : side ^ 1] | (side & 1);
            }
        }
        mesh_derive_child(mesh_out, corner, first_child + k, child_iedge, t.child_size);
    }
}

// The derivation of faces [0, F) of geom_in, numbered from *next: side c of
// face f runs along half-edge side(f, c); fixed is the table of every face,
// or null for faces of any sizes. Given a constant table, the walks unroll
// and its entries fold away.
template <typename Side>
__attribute__((always_inline)) static inline void
derive_face_range(const children_table* fixed, const geom* geom_in, mesh* mesh_out,
                  derive_boundary* boundary, const uint64_t* const corner[4], uint64_t* split,
                  uint64_t edge_point_base, const float* sharpness_in, const Side& side,
                  uint64_t* next)
{
    const uint64_t* const face_start = geom_in->face_start;
    for (uint64_t f = 0; f < geom_in->n_faces; ++f) {
        const children_table& t =
            fixed ? *fixed : children_catmull_clark.size[face_start[f + 1] - face_start[f]];
        const uint64_t first_child = fixed ? t.n_children * f : face_start[f];
        uint64_t h[children_most_sides];
        for (uint32_t c = 0; c < t.n_sides; ++c) h[c] = side(f, c);
        derive_face(t, mesh_out, boundary, corner, split, h, first_child, edge_point_base,
                    sharpness_in, next);
    }
}

// The connectivity of geom_out, the children of geom_in's faces under the
// scheme (loop), from geom_in's, with the sharpness the children keep.
// Returns false, *mesh_out cleared, when memory is refused.
static bool derive_faces(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                         mesh* mesh_out, bool loop, uint64_t edge_point_base)
{
    uint64_t* split;
    derive_boundary boundary;
    if (!derive_alloc(mesh_in, geom_in, geom_out, mesh_out, &split, &boundary)) return false;
    // sharp features pass to the output: the edges' by the halves, below
    const float* const sharpness_in = mesh_in->edge_sharpness;
    bool made = true;
    if (sharpness_in) {
        mesh_out->edge_sharpness = static_cast<float*>(mem_alloc(geom_out->n_edges * 4));
        made = mesh_out->edge_sharpness != nullptr;
        if (made) std::memset(mesh_out->edge_sharpness, 0, geom_out->n_edges * 4);
    }
    made = made && derive_vertex_sharpness(mesh_in, geom_in, geom_out, mesh_out);
    if (!made) {
        mem_free(split);
        mem_free(boundary.is_boundary);
        mesh_free(mesh_out);
        return false;
    }
    const uint64_t* const corner[4] = {geom_out->corner0, geom_out->corner1, geom_out->corner2,
                                       geom_out->corner3};
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    const auto fixed_side = [&](uint64_t f, uint64_t c) { return face_iedge[c][f]; };
    uint64_t next = 0; // edges numbered so far
    if (loop) {
        derive_face_range(&children_loop, geom_in, mesh_out, &boundary, corner, split,
                          edge_point_base, sharpness_in, fixed_side, &next);
    } else if (geom_face_size(geom_in) == 4) {
        derive_face_range(&children_catmull_clark.size[4], geom_in, mesh_out, &boundary, corner,
                          split, edge_point_base, sharpness_in, fixed_side, &next);
    } else {
        const uint64_t* const face_start = geom_in->face_start;
        const uint64_t* const corner_iedge = mesh_in->corner_iedge;
        derive_face_range(nullptr, geom_in, mesh_out, &boundary, corner, split, edge_point_base,
                          sharpness_in,
                          [&](uint64_t f, uint64_t c) { return corner_iedge[face_start[f] + c]; },
                          &next);
    }
    mem_free(split);
    mem_free(boundary.is_boundary);
    CHECK(next == geom_out->n_edges, "mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    return true;
}

bool catmull_clark_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                               mesh* mesh_out)
{
    const uint64_t V = geom_in->n_vertices, F = geom_in->n_faces, E = geom_in->n_edges;
    const uint64_t n_corners = geom_corner_count(geom_in);
    CHECK(geom_face_size(geom_out) == 4 && geom_out->n_faces == n_corners &&
              geom_out->n_edges == n_corners + 2 * E && geom_out->n_vertices == V + F + E,
          "catmull_clark_mesh_derive: the output counts are not those of one step");
    const uint64_t edge_point_base = V + F;
    if (!derive_faces(mesh_in, geom_in, geom_out, mesh_out, false, edge_point_base)) return false;
    // face points and edge points lie on four edges, edge points of boundary
    // edges on three; a face point of a face of any size on one edge per corner
    mesh_derive_valences(mesh_out, mesh_in, V, geom_out->n_vertices, 4, edge_point_base, 3);
    for (uint64_t f = 0; geom_face_size(geom_in) == 0 && f < F; ++f)
        mesh_out->vertex_valence[V + f] = geom_in->face_start[f + 1] - geom_in->face_start[f];
    return true;
}

bool loop_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                      mesh* mesh_out)
{
    const uint64_t F = geom_in->n_faces;
    CHECK(geom_face_size(geom_out) == 3 && geom_out->n_faces == 4 * F &&
              geom_out->n_edges == 2 * geom_in->n_edges + 3 * F &&
              geom_out->n_vertices == geom_in->n_vertices + geom_in->n_edges,
          "loop_mesh_derive: the output counts are not those of one step");
    if (!derive_faces(mesh_in, geom_in, geom_out, mesh_out, true, geom_in->n_vertices)) return false;
    // an edge point lies on the two halves of its edge and two inner edges
    // of each of its faces: six, or four on a boundary edge
    mesh_derive_valences(mesh_out, mesh_in, geom_in->n_vertices, geom_out->n_vertices, 6,
                         geom_in->n_vertices, 4);
    return true;
}

} // namespace subdiv
