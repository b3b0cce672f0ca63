// Half-edge connectivity: construction from the faces through the edge map.
#include "mesh.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "map.h"
#include "storage.h"


edge_key make_edge_key(uint64_t origin, uint64_t destination)
{
    CHECK(origin != destination, "degenerate edge: vertex %llu to itself",
          (unsigned long long)origin + 1);
    return edge_key{origin, destination};
}

void mesh_alloc(mesh* m, const geom* g)
{
    std::memset(m, 0, sizeof *m);
    uint64_t n_faces = g->n_faces;
    uint64_t n_iedges = g->n_edges * 2;
    CHECK(n_faces <= UINT64_MAX / 8 && g->n_edges <= UINT64_MAX / 16 &&
              g->n_vertices <= UINT64_MAX / 8,
          "out of memory: connectivity of %llu faces and %llu edges does not fit in memory",
          (unsigned long long)n_faces, (unsigned long long)g->n_edges);
    m->face_iedge0 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    m->face_iedge1 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    m->face_iedge2 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    m->face_iedge3 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    m->iedge_vertex = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    m->iedge_next = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    m->iedge_face = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    m->vertex_valence = static_cast<uint64_t*>(mem_alloc(g->n_vertices * 8));

    const uint64_t fill = index_pad_fill;
    pad_fill(m->face_iedge0, 8, n_faces, &fill);
    pad_fill(m->face_iedge1, 8, n_faces, &fill);
    pad_fill(m->face_iedge2, 8, n_faces, &fill);
    pad_fill(m->iedge_vertex, 8, n_iedges, &fill);
    pad_fill(m->iedge_next, 8, n_iedges, &fill);
    pad_fill(m->iedge_face, 8, n_iedges, &fill);
    std::memset(m->vertex_valence, 0, g->n_vertices * 8);
}

// Fails a check on the input of mesh_build: formats the message first (its
// values may lie in the mesh), then releases the map and the mesh's arrays, so
// that a check handler that leaves by longjmp (the fuzz targets' does) loses
// no memory, and reports the check at the caller's file and line.
[[noreturn]] __attribute__((cold, noinline, format(printf, 5, 6))) static void
mesh_input_fail(map* edge_map, mesh* m, const char* file, int line, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    map_free(edge_map);
    mesh_free(m);
    check_fail(file, line, "%s", message);
}

// CHECK for the input of mesh_build, through mesh_input_fail.
#define MESH_INPUT_CHECK(edge_map, m, condition, ...)                                   \
    do {                                                                                \
        if (!(condition)) mesh_input_fail(edge_map, m, __FILE__, __LINE__, __VA_ARGS__); \
    } while (0)

// Faces and vertices in the messages below are counted from 1, as in OBJ files.
__attribute__((always_inline)) static inline void
mesh_check_face(map* edge_map, mesh* m, const geom* g, uint64_t f, const uint64_t* q, int n)
{
    for (int k = 0; k < n; ++k)
        MESH_INPUT_CHECK(edge_map, m, q[k] < g->n_vertices,
                         "face %llu names vertex %llu, but there are only %llu vertices",
                         (unsigned long long)f + 1, (unsigned long long)q[k] + 1,
                         (unsigned long long)g->n_vertices);
    for (int k = 0; k < n; ++k)
        MESH_INPUT_CHECK(edge_map, m, q[k] != q[(k + 1) % n],
                         "face %llu has a degenerate edge: vertex %llu to itself",
                         (unsigned long long)f + 1, (unsigned long long)q[k] + 1);
    // a quad with one vertex at opposite corners runs through one edge both ways
    if (n == 4)
        MESH_INPUT_CHECK(edge_map, m, q[0] != q[2] && q[1] != q[3],
                         "face %llu names vertex %llu at two opposite corners",
                         (unsigned long long)f + 1,
                         (unsigned long long)(q[0] == q[2] ? q[0] : q[1]) + 1);
}

// Connects faces first to last, each with its n corners (3 or 4, a constant
// in each of the two calls below, so that the corner loops unroll), and
// returns the number of half-edges numbered.
//
// The map holds both directions of every edge that exactly one face has met
// so far; the second face to meet an edge takes the other half-edge and
// removes both directions.
__attribute__((always_inline)) static inline uint64_t
mesh_connect_faces(mesh* m, const geom* g, map* edge_map, const int n)
{
    const uint64_t n_iedges = g->n_edges * 2;
    uint64_t H = 0;

    uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                     m->face_iedge3};
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};

    for (uint64_t f = 0; f < g->n_faces; ++f) {
        uint64_t q[4] = {0, 0, 0, 0};
        for (int k = 0; k < n; ++k) q[k] = corner[k][f];
        mesh_check_face(edge_map, m, g, f, q, n);

        // keys of the edges leaving each corner, both directions, hashed once;
        // a key's hash starts with its origin's word, shared by the key of
        // the edge leaving a corner and the reversed key of the edge entering it
        edge_key key[4], key_rev[4];
        uint64_t hash[4], hash_rev[4], origin_hash[4];
        for (int k = 0; k < n; ++k) origin_hash[k] = map_hash_word(map_hash_basis, q[k]);
        for (int k = 0; k < n; ++k) {
            int k1 = (k + 1) % n;
            key[k] = make_edge_key(q[k], q[k1]);
            key_rev[k] = make_edge_key(q[k1], q[k]);
            hash[k] = map_stored_hash(map_hash_word(origin_hash[k], q[k1]));
            hash_rev[k] = map_stored_hash(map_hash_word(origin_hash[k1], q[k]));
        }

        // look up every reversed key before inserting anything of this face
        bool done[4];
        uint64_t iedge[4];
        for (int k = 0; k < n; ++k) {
            const void* found = map_find_hashed(edge_map, &key_rev[k], hash_rev[k]);
            done[k] = found != nullptr;
            if (!done[k]) continue;
            // The reversed key holds the half-edge of the face that created the
            // edge (even), ours is its twin (odd). An odd value means that face
            // ran the way we do: we would take a half-edge it already holds.
            uint64_t other;
            std::memcpy(&other, found, 8);
            MESH_INPUT_CHECK(edge_map, m, (other & 1) == 0,
                             "faces %llu and %llu both run from vertex %llu to vertex %llu "
                             "(inconsistent orientation, or an edge on more than two faces)",
                             (unsigned long long)m->iedge_face[other ^ 1] + 1,
                             (unsigned long long)f + 1, (unsigned long long)q[k] + 1,
                             (unsigned long long)q[(k + 1) % n] + 1);
            iedge[k] = other ^ 1;
        }

        map_reserve(edge_map, uint64_t(2 * n));
        for (int k = 0; k < n; ++k) {
            if (done[k]) continue;
            // a new edge: this face takes the even half-edge, the neighbour
            // that meets it later the odd one
            uint64_t a = q[k], b = q[(k + 1) % n];
            MESH_INPUT_CHECK(edge_map, m, H + 2 <= n_iedges,
                             "mesh is not closed: face %llu adds an edge beyond the %llu edges a "
                             "closed mesh of %llu faces has (the edge from vertex %llu to vertex "
                             "%llu lies on one face only, or on more than two)",
                             (unsigned long long)f + 1, (unsigned long long)g->n_edges,
                             (unsigned long long)g->n_faces, (unsigned long long)a + 1,
                             (unsigned long long)b + 1);
            iedge[k] = H;
            uint64_t twin = H + 1;
            H += 2;
            std::memcpy(map_insert_key_hashed(edge_map, &key[k], hash[k]), &iedge[k], 8);
            std::memcpy(map_insert_key_hashed(edge_map, &key_rev[k], hash_rev[k]), &twin, 8);
            m->vertex_valence[a] += 1;
            m->vertex_valence[b] += 1;
        }

        // an edge met twice is complete: drop both directions
        for (int k = 0; k < n; ++k) {
            if (!done[k]) continue;
            map_remove_hashed(edge_map, &key[k], hash[k]);
            map_remove_hashed(edge_map, &key_rev[k], hash_rev[k]);
        }

        for (int k = 0; k < n; ++k) {
            uint64_t h = iedge[k];
            face_iedge[k][f] = h;
            m->iedge_vertex[h] = q[k];
            m->iedge_face[h] = f;
            m->iedge_next[h] = iedge[(k + 1) % n];
        }
    }
    return H;
}

int mesh_build(mesh* m, const geom* g)
{
    CHECK(m != nullptr && g != nullptr, "mesh_build: no record");
    const int n = geom_face_size(g);
    CHECK(n == 3 || n == 4, "mesh_build: face size %d is neither 3 nor 4", n);
    CHECK(n == 3 || g->corner3 != nullptr, "mesh_build: quad mesh without its fourth corners");
    mesh_alloc(m, g);

    map edge_map;
    map_init(&edge_map, edge_map_key_size, edge_map_value_size, edge_map_capacity);
    uint64_t H = n == 3 ? mesh_connect_faces(m, g, &edge_map, 3)
                        : mesh_connect_faces(m, g, &edge_map, 4);

    MESH_INPUT_CHECK(&edge_map, m, H / 2 == g->n_edges,
                     "mesh has %llu distinct edges, but its edge count is %llu",
                     (unsigned long long)(H / 2), (unsigned long long)g->n_edges);
    MESH_INPUT_CHECK(&edge_map, m, edge_map.count == 0,
                     "mesh is not closed: %llu edges lie on one face only",
                     (unsigned long long)(edge_map.count / 2));
    map_free(&edge_map);
    return 1;
}

void mesh_free(mesh* m)
{
    CHECK(m != nullptr, "mesh_free: no record");
    mem_free(m->face_iedge0);
    mem_free(m->face_iedge1);
    mem_free(m->face_iedge2);
    mem_free(m->face_iedge3);
    mem_free(m->iedge_vertex);
    mem_free(m->iedge_face);
    mem_free(m->iedge_next);
    mem_free(m->vertex_valence);
    std::memset(m, 0, sizeof *m);
}
