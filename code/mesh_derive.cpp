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
#include "mesh_derive.h"

#include <cstring>

#include "check.h"
#include "storage.h"

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

// Old vertices keep their valence; every new vertex gets new_valence.
static void mesh_derive_valences(mesh* m, const mesh* mesh_in, uint64_t n_old,
                                 uint64_t n_vertices, uint64_t new_valence)
{
    std::memcpy(m->vertex_valence, mesh_in->vertex_valence, n_old * 8);
    for (uint64_t v = n_old; v < n_vertices; ++v) m->vertex_valence[v] = new_valence;
}

void catmull_clark_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                               mesh* mesh_out)
{
    const uint64_t F = geom_in->n_faces;
    CHECK(geom_face_size(geom_out) == 4 && geom_out->n_faces == 4 * F &&
              geom_out->n_edges == 4 * F + 2 * geom_in->n_edges &&
              geom_out->n_vertices == geom_in->n_vertices + F + geom_in->n_edges,
          "catmull_clark_mesh_derive: the output counts are not those of one step");
    mesh_alloc(mesh_out, geom_out);
    auto* split = static_cast<uint64_t*>(mem_alloc(geom_in->n_edges * 16));
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    const uint64_t* const corner[4] = {geom_out->corner0, geom_out->corner1, geom_out->corner2,
                                       geom_out->corner3};

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
    CHECK(next == geom_out->n_edges, "catmull_clark_mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    // face points and edge points both lie on four edges
    mesh_derive_valences(mesh_out, mesh_in, geom_in->n_vertices, geom_out->n_vertices, 4);
}

void loop_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                      mesh* mesh_out)
{
    const uint64_t F = geom_in->n_faces;
    CHECK(geom_face_size(geom_out) == 3 && geom_out->n_faces == 4 * F &&
              geom_out->n_edges == 4 * geom_in->n_edges && 3 * F == 2 * geom_in->n_edges &&
              geom_out->n_vertices == geom_in->n_vertices + geom_in->n_edges,
          "loop_mesh_derive: the output counts are not those of one step");
    mesh_alloc(mesh_out, geom_out);
    auto* split = static_cast<uint64_t*>(mem_alloc(geom_in->n_edges * 16));
    const uint64_t* const face_iedge[3] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2};
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
    CHECK(next == geom_out->n_edges, "loop_mesh_derive: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)geom_out->n_edges);
    // an edge point lies on the two halves of its edge and two inner edges
    // of each of its two faces
    mesh_derive_valences(mesh_out, mesh_in, geom_in->n_vertices, geom_out->n_vertices, 6);
}
