// Half-edge connectivity: construction from the faces through the edge map.
#include "mesh.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "check.h"
#include "map.h"
#include "error.h"
#include "storage.h"

namespace subdiv {

edge_key make_edge_key(uint64_t origin, uint64_t destination)
{
    CHECK(origin != destination, "degenerate edge: vertex %llu to itself",
          (unsigned long long)origin + 1);
    return edge_key{origin, destination};
}

bool mesh_alloc(mesh* m, const geom* g, bool with_next)
{
    std::memset(m, 0, sizeof *m);
    uint64_t n_faces = g->n_faces;
    uint64_t n_iedges = g->n_edges * 2;
    CHECK(n_faces <= UINT64_MAX / 8 && g->n_edges <= UINT64_MAX / 16 &&
              g->n_vertices <= UINT64_MAX / 8,
          "out of memory: connectivity of %llu faces and %llu edges does not fit in memory",
          (unsigned long long)n_faces, (unsigned long long)g->n_edges);
    const uint64_t fill = index_pad_fill;
    const bool polygons = geom_face_size(g) == 0;
    const uint64_t n_corners = polygons ? geom_corner_count(g) : 0;
    if (polygons) {
        m->corner_iedge = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    } else {
        m->face_iedge0 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
        m->face_iedge1 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
        m->face_iedge2 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
        if (geom_face_size(g) == 4)
            m->face_iedge3 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    }
    m->iedge_vertex = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    if (with_next) m->iedge_next = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    m->iedge_face = static_cast<uint64_t*>(mem_alloc(n_iedges * 8));
    m->vertex_valence = static_cast<uint64_t*>(mem_alloc(g->n_vertices * 8));
    const bool faces = polygons ? m->corner_iedge != nullptr
                                : m->face_iedge0 && m->face_iedge1 && m->face_iedge2 &&
                                      (geom_face_size(g) != 4 || m->face_iedge3);
    if (!faces || !m->iedge_vertex || (with_next && !m->iedge_next) || !m->iedge_face ||
        !m->vertex_valence) {
        mesh_free(m);
        return false;
    }

    if (polygons) {
        pad_fill(m->corner_iedge, 8, n_corners, &fill);
    } else {
        pad_fill(m->face_iedge0, 8, n_faces, &fill);
        pad_fill(m->face_iedge1, 8, n_faces, &fill);
        pad_fill(m->face_iedge2, 8, n_faces, &fill);
    }
    pad_fill(m->iedge_vertex, 8, n_iedges, &fill);
    if (with_next) pad_fill(m->iedge_next, 8, n_iedges, &fill);
    pad_fill(m->iedge_face, 8, n_iedges, &fill);
    std::memset(m->vertex_valence, 0, g->n_vertices * 8);
    return true;
}

// ---------------------------------------------------------------- construction
//
// mesh_build numbers the edges with the edge map, which holds both directions
// of every edge that exactly one face has met so far: the second face to meet
// an edge takes the other half-edge and removes both directions. The half-edge
// arrays start with room for as many half-edges as the faces have corners
// (every edge on two faces) and grow when edges on one face need more.
// Faults found on the way end the construction with the place named; faults
// that only the whole mesh shows (an edge on one face only, or on more than
// two) are looked for once every face is connected. The successors of the
// half-edges come last, from the faces' sides, so that their array is not
// held while those faults are looked for.

// The construction's state besides the mesh: the edge map, the half-edges
// numbered and the room for them.
struct mesh_builder {
    map edge_map;
    uint64_t n_iedges;    // half-edges numbered so far
    uint64_t iedge_room;  // entries of the half-edge arrays
};

// Moves the half-edge arrays (origins and faces) to blocks of room entries
// each, keeping their first n entries, one after the other: each new block
// may take the pages of the one released before it. Returns false when
// memory is refused, the arrays moved so far and the others still valid
// blocks.
static bool iedge_arrays_move(mesh* m, uint64_t n, uint64_t room)
{
    for (uint64_t** array : {&m->iedge_vertex, &m->iedge_face}) {
        auto* moved = static_cast<uint64_t*>(mem_alloc(room * 8));
        if (!moved) return false;
        std::memcpy(moved, *array, n * 8);
        mem_free(*array);
        *array = moved;
    }
    return true;
}

// Gives the half-edge arrays room for all half-edges that n_corners corners
// can open: every corner opens at most one edge of two half-edges.
static bool mesh_iedge_grow(mesh_builder* b, mesh* m, uint64_t n_corners)
{
    if (!iedge_arrays_move(m, b->n_iedges, 2 * n_corners)) return false;
    b->iedge_room = 2 * n_corners;
    return true;
}

// Leaves the half-edge arrays exactly as mesh_alloc gives them for n_edges
// edges (what mesh_derive's output is compared with): arrays that grew past
// that move to blocks of the exact size, with their padding tails filled.
static bool mesh_fit_iedges(mesh* m, uint64_t n_edges, uint64_t room)
{
    if (room == 2 * n_edges) return true;
    const uint64_t n = 2 * n_edges;
    const uint64_t fill = index_pad_fill;
    if (!iedge_arrays_move(m, n, n)) return false;
    for (uint64_t* array : {m->iedge_vertex, m->iedge_face}) pad_fill(array, 8, n, &fill);
    return true;
}

// Faces and vertices in the messages below are counted from 1, as in OBJ files.
__attribute__((always_inline)) static inline subdiv_status
mesh_check_face(const geom* g, uint64_t f, const uint64_t* q, int n, subdiv_error* error)
{
    for (int k = 0; k < n; ++k)
        if (q[k] >= g->n_vertices)
            return error_set(error, subdiv_error_mesh, {0, f + 1, {q[k] + 1}},
                             "face %llu names vertex %llu, but there are only %llu vertices",
                             (unsigned long long)f + 1, (unsigned long long)q[k] + 1,
                             (unsigned long long)g->n_vertices);
    for (int k = 0; k < n; ++k)
        if (q[k] == q[(k + 1) % n])
            return error_set(error, subdiv_error_mesh, {0, f + 1, {q[k] + 1}},
                             "face %llu has a degenerate edge: vertex %llu to itself",
                             (unsigned long long)f + 1, (unsigned long long)q[k] + 1);
    // a quad with one vertex at opposite corners runs through one edge both
    // ways; a larger face that names a vertex twice folds onto itself
    if (n == 4 && (q[0] == q[2] || q[1] == q[3])) {
        const uint64_t v = q[0] == q[2] ? q[0] : q[1];
        return error_set(error, subdiv_error_mesh, {0, f + 1, {v + 1}},
                         "face %llu names vertex %llu at two opposite corners",
                         (unsigned long long)f + 1, (unsigned long long)v + 1);
    }
    if (n > 4)
        for (int j = 2; j < n; ++j)
            for (int k = 0; k + 1 < j; ++k)
                if (q[k] == q[j] && !(k == 0 && j == n - 1))
                    return error_set(error, subdiv_error_mesh, {0, f + 1, {q[k] + 1}},
                                     "face %llu names vertex %llu at two corners",
                                     (unsigned long long)f + 1, (unsigned long long)q[k] + 1);
    return subdiv_ok;
}

// The most corners of a face.
constexpr int mesh_max_corners = 15;

// Connects faces first to last. Faces of size `uniform` (3 or 4, a constant
// in two of the calls below, so that the corner loops unroll) come from
// corner0 to corner3; uniform 0 takes faces of any sizes from face_start and
// corners.
__attribute__((always_inline)) static inline subdiv_status
mesh_connect_faces(mesh_builder* b, mesh* m, const geom* g, const int uniform,
                   subdiv_error* error)
{
    map* const edge_map = &b->edge_map;
    uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                     m->face_iedge3};
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    const uint64_t n_corners = geom_corner_count(g);

    for (uint64_t f = 0; f < g->n_faces; ++f) {
        uint64_t q[mesh_max_corners];
        int n = uniform;
        if (uniform) {
            for (int k = 0; k < n; ++k) q[k] = corner[k][f];
        } else {
            const uint64_t start = g->face_start[f];
            n = int(g->face_start[f + 1] - start);
            CHECK(n >= 3 && n <= mesh_max_corners, "mesh_build: face %llu has %d corners",
                  (unsigned long long)f + 1, n);
            for (int k = 0; k < n; ++k) q[k] = g->corners[start + uint64_t(k)];
        }
        if (mesh_check_face(g, f, q, n, error) != subdiv_ok) return subdiv_error_mesh;

        // keys of the edges leaving each corner, both directions, hashed once;
        // a key's hash starts with its origin's word, shared by the key of
        // the edge leaving a corner and the reversed key of the edge entering it
        edge_key key[mesh_max_corners], key_rev[mesh_max_corners];
        uint64_t hash[mesh_max_corners], hash_rev[mesh_max_corners],
            origin_hash[mesh_max_corners];
        for (int k = 0; k < n; ++k) origin_hash[k] = map_hash_word(map_hash_basis, q[k]);
        for (int k = 0; k < n; ++k) {
            int k1 = (k + 1) % n;
            key[k] = make_edge_key(q[k], q[k1]);
            key_rev[k] = make_edge_key(q[k1], q[k]);
            hash[k] = map_stored_hash(map_hash_word(origin_hash[k], q[k1]));
            hash_rev[k] = map_stored_hash(map_hash_word(origin_hash[k1], q[k]));
        }

        // look up every reversed key before inserting anything of this face
        bool done[mesh_max_corners];
        uint64_t iedge[mesh_max_corners];
        for (int k = 0; k < n; ++k) {
            const void* found = map_find_hashed(edge_map, &key_rev[k], hash_rev[k]);
            done[k] = found != nullptr;
            if (!done[k]) continue;
            // The reversed key holds the half-edge of the face that created the
            // edge (even), ours is its twin (odd). An odd value means that face
            // ran the way we do: we would take a half-edge it already holds.
            uint64_t other;
            std::memcpy(&other, found, 8);
            if (other & 1) {
                const uint64_t a = q[k], c = q[(k + 1) % n], first = m->iedge_face[other ^ 1];
                return error_set(error, subdiv_error_mesh, {0, f + 1, {a + 1, c + 1}},
                                 "faces %llu and %llu both run from vertex %llu to vertex %llu "
                                 "(inconsistent orientation, or an edge on more than two faces)",
                                 (unsigned long long)first + 1, (unsigned long long)f + 1,
                                 (unsigned long long)a + 1, (unsigned long long)c + 1);
            }
            iedge[k] = other ^ 1;
        }

        if (!map_reserve(edge_map, uint64_t(2 * n))) return error_memory(error, mem_refused_size());
        for (int k = 0; k < n; ++k) {
            if (done[k]) continue;
            // a new edge: this face takes the even half-edge, the neighbour
            // that meets it later the odd one
            if (b->n_iedges + 2 > b->iedge_room && !mesh_iedge_grow(b, m, n_corners))
                return error_memory(error, mem_refused_size());
            iedge[k] = b->n_iedges;
            const uint64_t twin = iedge[k] + 1;
            b->n_iedges += 2;
            std::memcpy(map_insert_key_hashed(edge_map, &key[k], hash[k]), &iedge[k], 8);
            std::memcpy(map_insert_key_hashed(edge_map, &key_rev[k], hash_rev[k]), &twin, 8);
            m->vertex_valence[q[k]] += 1;
            m->vertex_valence[q[(k + 1) % n]] += 1;
        }

        // an edge met twice is complete: drop both directions
        for (int k = 0; k < n; ++k) {
            if (!done[k]) continue;
            map_remove_hashed(edge_map, &key[k], hash[k]);
            map_remove_hashed(edge_map, &key_rev[k], hash_rev[k]);
        }

        for (int k = 0; k < n; ++k) {
            uint64_t h = iedge[k];
            if (uniform)
                face_iedge[k][f] = h;
            else
                m->corner_iedge[g->face_start[f] + uint64_t(k)] = h;
            m->iedge_vertex[h] = q[k];
            m->iedge_face[h] = f;
        }
    }
    return subdiv_ok;
}

// The edges that one face only met are left in the map, both directions:
// the face's direction with its even half-edge, the other with the odd one,
// which no face holds. Gives each odd half-edge its origin and no face.
static void mesh_mark_boundary(const mesh_builder* b, mesh* m)
{
    const map* edge_map = &b->edge_map;
    for (uint64_t slot = 0; slot < edge_map->capacity; ++slot) {
        if (edge_map->hashes[slot] == 0) continue;
        uint64_t h;
        std::memcpy(&h, edge_map->values + slot * edge_map->value_size, 8);
        if ((h & 1) == 0) continue;
        edge_key key;
        std::memcpy(&key, edge_map->keys + slot * edge_map->key_size, sizeof key);
        m->iedge_vertex[h] = key.origin;
        m->iedge_face[h] = mesh_no_face;
    }
}

// The successor of every half-edge in its face, none for those of no face,
// into a new iedge_next of 2 n_edges entries; false when memory is refused.
static bool mesh_link_next(mesh* m, const geom* g, uint64_t n_edges)
{
    const uint64_t n = 2 * n_edges;
    m->iedge_next = static_cast<uint64_t*>(mem_alloc(n * 8));
    if (!m->iedge_next) return false;
    const uint64_t fill = index_pad_fill;
    pad_fill(m->iedge_next, 8, n, &fill);
    for (uint64_t h = 0; h < n; ++h)
        if (m->iedge_face[h] == mesh_no_face) m->iedge_next[h] = mesh_no_face;
    const int size = geom_face_size(g);
    const uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                           m->face_iedge3};
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        if (size) {
            for (int k = 0; k < size; ++k)
                m->iedge_next[face_iedge[k][f]] = face_iedge[(k + 1) % size][f];
            continue;
        }
        const uint64_t start = g->face_start[f], count = g->face_start[f + 1] - start;
        for (uint64_t k = 0; k < count; ++k)
            m->iedge_next[m->corner_iedge[start + k]] = m->corner_iedge[start + (k + 1) % count];
    }
    return true;
}

bool mesh_list_boundary(mesh* m, uint64_t n_edges)
{
    uint64_t n_boundary = 0;
    for (uint64_t e = 0; e < n_edges; ++e) n_boundary += m->iedge_face[2 * e + 1] == mesh_no_face;
    m->boundary_edges = static_cast<uint64_t*>(mem_alloc(n_boundary * 8));
    if (!m->boundary_edges) return false;
    m->n_boundary_edges = n_boundary;
    uint64_t i = 0;
    for (uint64_t e = 0; e < n_edges && i < n_boundary; ++e) {
        if (m->iedge_face[2 * e + 1] != mesh_no_face) continue;
        m->boundary_edges[i++] = e;
        for (const uint64_t v : {m->iedge_vertex[2 * e], m->iedge_vertex[2 * e + 1]}) {
            const uint64_t entry = m->vertex_valence[v];
            m->vertex_valence[v] =
                mesh_valence_entry(mesh_valence(entry), mesh_boundary_count(entry) + 1);
        }
    }
    return true;
}

// The faces on the edges between v and w (at most 8, ascending) into faces;
// returns how many there are in all. at[from, to) lists the edges whose
// lower end is v.
template <typename I>
static int mesh_faces_between(const mesh* m, const I* at, uint64_t from, uint64_t to,
                              uint64_t v, uint64_t w, uint64_t faces[8])
{
    int n = 0;
    for (uint64_t i = from; i < to; ++i) {
        const uint64_t h = 2 * uint64_t(at[i]);
        if (m->iedge_vertex[h] + m->iedge_vertex[h + 1] - v != w) continue;
        for (uint64_t side : {h, h + 1}) {
            const uint64_t f = m->iedge_face[side];
            if (f == mesh_no_face) continue;
            if (n < 8) {
                // insertion in ascending order
                int j = n;
                while (j > 0 && faces[j - 1] > f) faces[j] = faces[j - 1], --j;
                faces[j] = f;
            }
            n += 1;
        }
    }
    return n;
}

// An edge met by a face after two others had closed it is numbered again, so
// an edge on more than two faces shows as edges with the same two ends,
// whatever the order of the faces. Looks for them vertex by vertex: the
// edges whose lower end is each vertex, listed through an offset table, must
// lead to different higher ends (a pair met twice is found at its lower end,
// before any vertex above it). Refuses the mesh naming the first such pair
// of vertices and the faces on their edges; or subdiv_error_memory when
// memory is refused. The tables are of index type I, 32 bits when the
// counts allow.
template <typename I>
static subdiv_status mesh_refuse_shared_ends(const mesh* m, const geom* g, uint64_t n_edges,
                                             subdiv_error* error)
{
    const uint64_t V = g->n_vertices;
    auto* start = static_cast<I*>(mem_alloc((V + 1) * sizeof(I)));
    auto* at = static_cast<I*>(mem_alloc(n_edges * sizeof(I)));
    auto* mark = static_cast<I*>(mem_alloc(V * sizeof(I)));
    if (!start || !at || !mark) {
        mem_free(start);
        mem_free(at);
        mem_free(mark);
        return error_memory(error, mem_refused_size());
    }
    auto lower = [m](uint64_t e) {
        const uint64_t a = m->iedge_vertex[2 * e], b = m->iedge_vertex[2 * e + 1];
        return a < b ? a : b;
    };
    // the marks serve first as counts and fill cursors, then hold the last
    // vertex whose edges met each vertex
    std::memset(mark, 0, V * sizeof(I));
    for (uint64_t e = 0; e < n_edges; ++e) mark[lower(e)] += 1;
    start[0] = 0;
    for (uint64_t v = 0; v < V; ++v) start[v + 1] = I(start[v] + mark[v]);
    std::memcpy(mark, start, V * sizeof(I));
    for (uint64_t e = 0; e < n_edges; ++e) at[mark[lower(e)]++] = I(e);
    const I none = I(~I(0));
    for (uint64_t v = 0; v < V; ++v) mark[v] = none;

    subdiv_status status = subdiv_ok;
    for (uint64_t v = 0; v < V && status == subdiv_ok; ++v) {
        for (uint64_t i = start[v]; i < start[v + 1]; ++i) {
            const uint64_t h = 2 * uint64_t(at[i]);
            const uint64_t w = m->iedge_vertex[h] + m->iedge_vertex[h + 1] - v;
            if (mark[w] != I(v)) {
                mark[w] = I(v);
                continue;
            }
            uint64_t faces[8];
            const int n_faces = mesh_faces_between(m, at, start[v], start[v + 1], v, w, faces);
            char list[256];
            int used = 0;
            for (int j = 0; j < n_faces && j < 8; ++j)
                used += std::snprintf(list + used, sizeof list - uint64_t(used), "%s%llu",
                                      j == 0 ? "" : j + 1 == n_faces ? " and " : ", ",
                                      (unsigned long long)faces[j] + 1);
            status = error_set(error, subdiv_error_mesh, {0, faces[0] + 1, {v + 1, w + 1}},
                               "the edge between vertex %llu and vertex %llu lies on %d faces "
                               "(%s%s); an edge may lie on two faces at most",
                               (unsigned long long)v + 1, (unsigned long long)w + 1, n_faces,
                               list, n_faces > 8 ? ", ..." : "");
            break;
        }
    }
    mem_free(start);
    mem_free(at);
    mem_free(mark);
    return status;
}

subdiv_status mesh_build(mesh* m, geom* g, subdiv_error* error)
{
    CHECK(m != nullptr && g != nullptr, "mesh_build: no record");
    const int n = geom_face_size(g);
    CHECK(n == 0 || n == 3 || n == 4, "mesh_build: face size %d is neither 3 nor 4", n);
    CHECK(n != 4 || g->corner3 != nullptr, "mesh_build: quad mesh without its fourth corners");
    CHECK(n != 0 || (g->face_start != nullptr && g->corners != nullptr),
          "mesh_build: faces of any sizes without their corners");
    CHECK(g->n_faces <= UINT64_MAX / 64 && g->n_vertices <= UINT64_MAX / 16,
          "mesh_build: %llu faces and %llu vertices do not fit in memory",
          (unsigned long long)g->n_faces, (unsigned long long)g->n_vertices);

    // room for the half-edges of a closed mesh, every edge on two faces
    const uint64_t n_corners = geom_corner_count(g);
    g->n_edges = n_corners / 2;
    mesh_builder b;
    if (!mesh_alloc(m, g, false)) return error_memory(error, mem_refused_size());
    if (!map_init(&b.edge_map, edge_map_key_size, edge_map_value_size, edge_map_capacity)) {
        mesh_free(m);
        return error_memory(error, mem_refused_size());
    }
    b.n_iedges = 0;
    b.iedge_room = n_corners;

    subdiv_status status = n == 3   ? mesh_connect_faces(&b, m, g, 3, error)
                           : n == 4 ? mesh_connect_faces(&b, m, g, 4, error)
                                    : mesh_connect_faces(&b, m, g, 0, error);
    if (status == subdiv_ok) mesh_mark_boundary(&b, m);
    map_free(&b.edge_map);
    const uint64_t n_edges = b.n_iedges / 2;
    if (status == subdiv_ok)
        status = n_edges < UINT32_MAX && g->n_vertices < UINT32_MAX
                     ? mesh_refuse_shared_ends<uint32_t>(m, g, n_edges, error)
                     : mesh_refuse_shared_ends<uint64_t>(m, g, n_edges, error);
    if (status == subdiv_ok && !(mesh_fit_iedges(m, n_edges, b.iedge_room) &&
                                 mesh_link_next(m, g, n_edges) && mesh_list_boundary(m, n_edges)))
        status = error_memory(error, mem_refused_size());
    if (status != subdiv_ok) {
        mesh_free(m);
        return status;
    }
    g->n_edges = n_edges;
    return subdiv_ok;
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
    mem_free(m->boundary_edges);
    mem_free(m->corner_iedge);
    mem_free(m->edge_sharpness);
    mem_free(m->vertex_sharpness);
    std::memset(m, 0, sizeof *m);
}

} // namespace subdiv
