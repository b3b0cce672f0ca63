// The connectivity of a subdivision step's output, numbered from the input's
// connectivity instead of through the edge map.
//
// mesh_build numbers edges in the order a scan of the faces, each from corner
// 0, first meets them, and gives the even half-edge of a new edge to the face
// that meets it first. A step's children of old face f are faces 4f to 4f+3,
// so the scan of the output meets the edges of f's children after those of
// the children of every earlier face, in an order fixed by the children's
// corner tables. The children of f meet:
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
    if (!mesh_alloc(out, geom_out)) return false;
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

// The Catmull-Clark numbering for faces of any sizes, the quad one's
// generalisation: face f of n sides has children face_start[f] + c, and the
// scan of child 0 meets A_0, I_0, I_(n-1), B_(n-1); of child c (0 < c < n-1)
// A_c, I_c, B_(c-1), I_(c-1) having come with child c-1; of child n-1
// A_(n-1), B_(n-2), both inner edges having come before.
static bool catmull_clark_polygon_derive(const mesh* mesh_in, const geom* geom_in,
                                         const geom* geom_out, mesh* mesh_out)
{
    const uint64_t V = geom_in->n_vertices, F = geom_in->n_faces, E = geom_in->n_edges;
    const uint64_t n_corners = geom_corner_count(geom_in);
    CHECK(geom_face_size(geom_out) == 4 && geom_out->n_faces == n_corners &&
              geom_out->n_edges == n_corners + 2 * E && geom_out->n_vertices == V + F + E,
          "catmull_clark_mesh_derive: the output counts are not those of one step");
    uint64_t* split;
    derive_boundary boundary;
    if (!derive_alloc(mesh_in, geom_in, geom_out, mesh_out, &split, &boundary)) return false;
    const uint64_t* const corner[4] = {geom_out->corner0, geom_out->corner1, geom_out->corner2,
                                       geom_out->corner3};
    const uint64_t edge_point_base = V + F;

    uint64_t next = 0; // edges numbered so far
    for (uint64_t f = 0; f < F; ++f) {
        const uint64_t start = geom_in->face_start[f];
        const int n = int(geom_in->face_start[f + 1] - start);
        uint64_t h[15], odd[15], inner[15];
        for (int c = 0; c < n; ++c) {
            h[c] = mesh_in->corner_iedge[start + uint64_t(c)];
            odd[c] = h[c] & 1;
        }
        // the edges in the order the children's scan first meets them
        for (int c = 0; c < n; ++c) {
            const int before = (c + n - 1) % n;
            if (!odd[c]) split[h[c]] = next++; // A_c
            if (c < n - 1) inner[c] = next++;  // I_c
            if (c == 0) inner[n - 1] = next++; // I_(n-1)
            if (!odd[before]) split[h[before] ^ 1] = next++; // B_(c-1)
            if (!boundary.is_boundary) continue;
            // the halves of boundary sides as numbered: A_c runs from corner c
            // to the edge point, B_(c-1) from the edge point to corner c
            if (derive_on_boundary(&boundary, h[c]))
                derive_boundary_half(&boundary, split[h[c]], edge_point_base + (h[c] >> 1));
            if (derive_on_boundary(&boundary, h[before]))
                derive_boundary_half(&boundary, split[h[before] ^ 1],
                                     corner[0][start + uint64_t(c)]);
        }
        for (int c = 0; c < n; ++c) {
            const int before = (c + n - 1) % n;
            // the first face to meet an edge takes its even half-edge
            const uint64_t child_iedge[4] = {2 * split[h[c]] | odd[c],
                                             2 * inner[c] + (c == n - 1),
                                             2 * inner[before] + (c != 0),
                                             2 * split[h[before] ^ 1] | odd[before]};
            mesh_derive_child(mesh_out, corner, start + uint64_t(c), child_iedge, 4);
        }
    }
    mem_free(split);
    mem_free(boundary.is_boundary);
    CHECK(next == geom_out->n_edges, "catmull_clark_mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    // edge points lie on four edges, three on a boundary edge; a face point
    // on one edge per corner of its face
    mesh_derive_valences(mesh_out, mesh_in, V, geom_out->n_vertices, 4, edge_point_base, 3);
    for (uint64_t f = 0; f < F; ++f)
        mesh_out->vertex_valence[V + f] = geom_in->face_start[f + 1] - geom_in->face_start[f];
    return true;
}

bool catmull_clark_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                               mesh* mesh_out)
{
    if (geom_face_size(geom_in) == 0)
        return catmull_clark_polygon_derive(mesh_in, geom_in, geom_out, mesh_out);
    const uint64_t F = geom_in->n_faces;
    CHECK(geom_face_size(geom_out) == 4 && geom_out->n_faces == 4 * F &&
              geom_out->n_edges == 4 * F + 2 * geom_in->n_edges &&
              geom_out->n_vertices == geom_in->n_vertices + F + geom_in->n_edges,
          "catmull_clark_mesh_derive: the output counts are not those of one step");
    uint64_t* split;
    derive_boundary boundary;
    if (!derive_alloc(mesh_in, geom_in, geom_out, mesh_out, &split, &boundary)) return false;
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    const uint64_t* const corner[4] = {geom_out->corner0, geom_out->corner1, geom_out->corner2,
                                       geom_out->corner3};
    const uint64_t edge_point_base = geom_in->n_vertices + F;

    uint64_t next = 0; // edges numbered so far
    for (uint64_t f = 0; f < F; ++f) {
        // side c of f: half-edge h[c] from corner c to c+1; split into
        // A_c (corner c to the edge point) and B_c (edge point to corner c+1),
        // numbered here when f holds the even half-edge. Inner edge I_c joins
        // the edge point of side c and the face point.
        uint64_t h[4], odd[4];
        for (int c = 0; c < 4; ++c) h[c] = face_iedge[c][f], odd[c] = h[c] & 1;
        // the scan of child c meets A_c, I_c, I_(c-1), B_(c-1): child 0 meets
        // I_3 before child 3 does, and children 1 to 3 meet I_(c-1) second
        if (!odd[0]) split[h[0]] = next++;     // child 0: A_0
        const uint64_t i0 = next++;            //          I_0
        const uint64_t i3 = next++;            //          I_3
        if (!odd[3]) split[h[3] ^ 1] = next++; //          B_3
        if (!odd[1]) split[h[1]] = next++;     // child 1: A_1
        const uint64_t i1 = next++;            //          I_1
        if (!odd[0]) split[h[0] ^ 1] = next++; //          B_0
        if (!odd[2]) split[h[2]] = next++;     // child 2: A_2
        const uint64_t i2 = next++;            //          I_2
        if (!odd[1]) split[h[1] ^ 1] = next++; //          B_1
        if (!odd[3]) split[h[3]] = next++;     // child 3: A_3
        if (!odd[2]) split[h[2] ^ 1] = next++; //          B_2
        const uint64_t inner[4] = {i0, i1, i2, i3};
        if (boundary.is_boundary) {
            // the halves of the boundary sides in the order numbered above;
            // A_c runs from corner c to the edge point, B_c on to corner c+1
            const uint64_t order[8][2] = {{0, 0}, {3, 1}, {1, 0}, {0, 1},
                                          {2, 0}, {1, 1}, {3, 0}, {2, 1}};
            for (const auto& half : order) {
                const int c = int(half[0]);
                if (!derive_on_boundary(&boundary, h[c])) continue;
                const uint64_t edge = split[half[1] ? h[c] ^ 1 : h[c]];
                const uint64_t origin = half[1] ? corner[0][4 * f + uint64_t((c + 1) % 4)]
                                                : edge_point_base + (h[c] >> 1);
                derive_boundary_half(&boundary, edge, origin);
            }
        }
        for (int c = 0; c < 4; ++c) {
            const int before = (c + 3) % 4;
            // the first face to meet an edge takes its even half-edge
            const uint64_t child_iedge[4] = {2 * split[h[c]] | odd[c],
                                             2 * inner[c] + (c == 3),
                                             2 * inner[before] + (c != 0),
                                             2 * split[h[before] ^ 1] | odd[before]};
            mesh_derive_child(mesh_out, corner, 4 * f + uint64_t(c), child_iedge, 4);
        }
    }
    mem_free(split);
    mem_free(boundary.is_boundary);
    CHECK(next == geom_out->n_edges, "catmull_clark_mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    // face points and edge points lie on four edges, edge points of boundary
    // edges on three
    mesh_derive_valences(mesh_out, mesh_in, geom_in->n_vertices, geom_out->n_vertices, 4,
                         edge_point_base, 3);
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
    uint64_t* split;
    derive_boundary boundary;
    if (!derive_alloc(mesh_in, geom_in, geom_out, mesh_out, &split, &boundary)) return false;
    const uint64_t* const face_iedge[3] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2};
    const uint64_t edge_point_base = geom_in->n_vertices;
    const uint64_t* const corner[4] = {geom_out->corner0, geom_out->corner1, geom_out->corner2,
                                       nullptr};

    uint64_t next = 0; // edges numbered so far
    for (uint64_t f = 0; f < F; ++f) {
        // side c of f: half-edge h[c] from corner c to c+1, split into A_c
        // (corner c to its edge point m_c) and B_c (m_c to corner c+1). The
        // inner edges join m0–m2, m1–m0 and m2–m1; the middle child meets
        // each of them after a corner child.
        uint64_t h[3], odd[3];
        for (int c = 0; c < 3; ++c) h[c] = face_iedge[c][f], odd[c] = h[c] & 1;
        if (!odd[0]) split[h[0]] = next++;     // child 0 (c0 m0 m2): A_0
        const uint64_t j02 = next++;           //                     m0–m2
        if (!odd[2]) split[h[2] ^ 1] = next++; //                     B_2
        if (!odd[0]) split[h[0] ^ 1] = next++; // child 1 (m0 c1 m1): B_0
        if (!odd[1]) split[h[1]] = next++;     //                     A_1
        const uint64_t j10 = next++;           //                     m1–m0
        if (!odd[1]) split[h[1] ^ 1] = next++; // child 2 (m1 c2 m2): B_1
        if (!odd[2]) split[h[2]] = next++;     //                     A_2
        const uint64_t j21 = next++;           //                     m2–m1
        if (boundary.is_boundary) {
            // the halves of the boundary sides in the order numbered above;
            // A_c runs from corner c to its edge point, B_c on to corner c+1
            const uint64_t order[6][2] = {{0, 0}, {2, 1}, {0, 1}, {1, 0}, {1, 1}, {2, 0}};
            // corner c+1 of f is corner 1 of child c+1, or corner 0 of child 0
            const uint64_t next_corner[3] = {corner[1][4 * f + 1], corner[1][4 * f + 2],
                                             corner[0][4 * f]};
            for (const auto& half : order) {
                const int c = int(half[0]);
                if (!derive_on_boundary(&boundary, h[c])) continue;
                const uint64_t edge = split[half[1] ? h[c] ^ 1 : h[c]];
                const uint64_t origin = half[1] ? next_corner[c] : edge_point_base + (h[c] >> 1);
                derive_boundary_half(&boundary, edge, origin);
            }
        }
        // the first face to meet an edge takes its even half-edge
        const uint64_t child_iedge[4][3] = {
            {2 * split[h[0]] | odd[0], 2 * j02, 2 * split[h[2] ^ 1] | odd[2]},
            {2 * split[h[0] ^ 1] | odd[0], 2 * split[h[1]] | odd[1], 2 * j10},
            {2 * split[h[1] ^ 1] | odd[1], 2 * split[h[2]] | odd[2], 2 * j21},
            {2 * j21 + 1, 2 * j02 + 1, 2 * j10 + 1}};
        for (int c = 0; c < 4; ++c)
            mesh_derive_child(mesh_out, corner, 4 * f + uint64_t(c), child_iedge[c], 3);
    }
    mem_free(split);
    mem_free(boundary.is_boundary);
    CHECK(next == geom_out->n_edges, "loop_mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    // an edge point lies on the two halves of its edge and two inner edges
    // of each of its faces: six, or four on a boundary edge
    mesh_derive_valences(mesh_out, mesh_in, geom_in->n_vertices, geom_out->n_vertices, 6,
                         edge_point_base, 4);
    return true;
}

} // namespace subdiv
