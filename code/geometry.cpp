// Storage blocks, the geom record and the half-edge mesh.
#include "geometry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

#include "check.h"
#include "map.h"

// ---------------------------------------------------------------- storage
//
// Blocks below arena_min_block bytes come from the C library's aligned
// allocator. Larger ones come from the arena: one range of address space,
// reserved at the first large request, handed out from its start. A page of
// fresh memory costs its first touch (about 1.5 µs here, several times more
// on memory the machine has never used), far more than the arithmetic done
// on it, and the steps release blocks as they allocate larger ones. So a
// released large block keeps its pages and goes on a free list, where it
// merges with released neighbours; a request takes the smallest free range
// that still holds its pages and is large enough, else the smallest free
// range, else the arena is extended into pages never touched. Before fresh
// pages are touched, the other free ranges give their pages back to the
// system: the memory a job holds then never exceeds its live blocks and one
// free range, while blocks released and requested again in turn reuse their
// pages.

namespace {

constexpr uint64_t arena_min_block = uint64_t(1) << 18;
constexpr uint64_t arena_max_live = 1024;

// A range of the arena: start and size in bytes from the arena's base.
struct arena_range {
    uint64_t start;
    uint64_t size;
    bool resident; // (some of) its pages were touched and not handed back since
};

struct arena_state {
    char* base;        // start of the reserved range; null until reserved
    uint64_t reserved; // bytes reserved
    uint64_t top;      // bytes from base that are readable and writable
    bool unavailable;  // no reservation could be made: large blocks as small ones
    uint64_t n_live;
    uint64_t n_free;
    arena_range live[arena_max_live];     // blocks handed out, in no order
    arena_range free[arena_max_live + 1]; // released ranges by start, none adjacent
};

arena_state arena;

void arena_poison(uint64_t start, uint64_t size)
{
#ifdef __SANITIZE_ADDRESS__
    ASAN_POISON_MEMORY_REGION(arena.base + start, size);
#else
    (void)start, (void)size;
#endif
}

void arena_unpoison(uint64_t start, uint64_t size)
{
#ifdef __SANITIZE_ADDRESS__
    ASAN_UNPOISON_MEMORY_REGION(arena.base + start, size);
#else
    (void)start, (void)size;
#endif
}

// Reserves twice the machine's memory as inaccessible address space, which
// costs nothing until pages are made writable and touched.
bool arena_reserve()
{
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    uint64_t memory = pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size)
                                                 : uint64_t(1) << 35;
    uint64_t size = std::min(2 * memory, uint64_t(1) << 44) & ~uint64_t(4095);
    void* base = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return false;
    arena.base = static_cast<char*>(base);
    arena.reserved = size;
#ifdef __SANITIZE_ADDRESS__
    // pointers to small blocks may live in large ones
    __lsan_register_root_region(base, size);
#endif
    return true;
}

void arena_remove_free(uint64_t i)
{
    std::memmove(&arena.free[i], &arena.free[i + 1], (arena.n_free - i - 1) * sizeof(arena_range));
    arena.n_free -= 1;
}

// Hands the pages of every free range but the one at index keep back to the
// system.
void arena_release_free(uint64_t keep)
{
    for (uint64_t i = 0; i < arena.n_free; ++i) {
        arena_range& r = arena.free[i];
        if (i == keep || !r.resident) continue;
        arena_unpoison(r.start, r.size);
        madvise(arena.base + r.start, r.size, MADV_DONTNEED);
        arena_poison(r.start, r.size);
        r.resident = false;
    }
}

// A block of size bytes (a multiple of 4096) from the arena, or null when
// the arena cannot hold it.
void* arena_alloc(uint64_t size)
{
    if (!arena.base) {
        if (arena.unavailable) return nullptr;
        arena.unavailable = !arena_reserve();
        if (arena.unavailable) return nullptr;
    }
    if (arena.n_live == arena_max_live) return nullptr;

    // the smallest free range that holds the block, among those whose pages
    // are still held if any is large enough
    uint64_t best = arena.n_free;
    for (int pass = 0; pass < 2 && best == arena.n_free; ++pass) {
        for (uint64_t i = 0; i < arena.n_free; ++i) {
            const arena_range& r = arena.free[i];
            if (r.size >= size && (pass == 1 || r.resident) &&
                (best == arena.n_free || r.size < arena.free[best].size))
                best = i;
        }
    }
    uint64_t start;
    if (best < arena.n_free) {
        // fresh pages are about to be touched: hand back those of the others
        if (!arena.free[best].resident) arena_release_free(best);
        arena_range& r = arena.free[best];
        start = r.start;
        r.start += size;
        r.size -= size;
        if (r.size == 0) arena_remove_free(best);
    } else {
        // extend the arena, through the free range at its top if there is one
        uint64_t last = arena.n_free;
        if (last > 0 && arena.free[last - 1].start + arena.free[last - 1].size == arena.top)
            last -= 1;
        start = last < arena.n_free ? arena.free[last].start : arena.top;
        if (size > arena.reserved - start) return nullptr;
        if (start + size > arena.top) {
            if (mprotect(arena.base + arena.top, start + size - arena.top,
                         PROT_READ | PROT_WRITE) != 0)
                return nullptr;
        }
        arena_release_free(last);
        if (last < arena.n_free) arena_remove_free(last);
        arena.top = std::max(arena.top, start + size);
    }
    arena.live[arena.n_live++] = arena_range{start, size, true};
    arena_unpoison(start, size);
    return arena.base + start;
}

// Puts the arena block at start on the free list, merged with free
// neighbours. The list never overflows: free ranges lie apart, so there is
// a live block between any two of them.
void arena_free(uint64_t start)
{
    uint64_t i = 0;
    while (i < arena.n_live && arena.live[i].start != start) ++i;
    CHECK(i < arena.n_live, "mem_free: %p is not a block of the arena",
          static_cast<void*>(arena.base + start));
    arena_range r = arena.live[i];
    arena.live[i] = arena.live[--arena.n_live];
    arena_poison(r.start, r.size);

    uint64_t at = 0; // first free range after the block
    while (at < arena.n_free && arena.free[at].start < r.start) ++at;
    if (at < arena.n_free && r.start + r.size == arena.free[at].start) {
        r.size += arena.free[at].size;
        r.resident = r.resident || arena.free[at].resident;
        arena_remove_free(at);
    }
    if (at > 0 && arena.free[at - 1].start + arena.free[at - 1].size == r.start) {
        arena_range& before = arena.free[at - 1];
        before.size += r.size;
        before.resident = before.resident || r.resident;
        return;
    }
    std::memmove(&arena.free[at + 1], &arena.free[at], (arena.n_free - at) * sizeof(arena_range));
    arena.free[at] = r;
    arena.n_free += 1;
}

} // namespace

uint64_t padded_size(uint64_t n_bytes)
{
    return (n_bytes & ~uint64_t(4095)) + 4096;
}

void* mem_alloc(uint64_t n_bytes)
{
    // the padded size of the largest requests would wrap around
    CHECK(n_bytes <= UINT64_MAX - 8192, "out of memory: cannot allocate %llu bytes",
          (unsigned long long)n_bytes);
    uint64_t size = padded_size(n_bytes);
    void* block = size >= arena_min_block ? arena_alloc(size) : nullptr;
    if (!block) block = std::aligned_alloc(64, size);
    CHECK(block != nullptr, "out of memory: cannot allocate %llu bytes",
          (unsigned long long)size);
    return block;
}

void mem_free(void* block)
{
    char* bytes = static_cast<char*>(block);
    if (arena.base && bytes >= arena.base && bytes < arena.base + arena.reserved)
        arena_free(uint64_t(bytes - arena.base));
    else
        std::free(block);
}

void mem_trim()
{
    arena_release_free(arena.n_free);
}

void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill)
{
    CHECK(element_size > 0 && 4096 % element_size == 0,
          "pad_fill: element size %llu does not divide 4096", (unsigned long long)element_size);
    uint64_t used = element_size * n_elements;
    uint64_t tail = padded_size(used) - used;
    char* bytes = static_cast<char*>(block);
    for (uint64_t offset = 0; offset < tail; offset += element_size)
        std::memcpy(bytes + used + offset, fill, element_size);
}

// ---------------------------------------------------------------- geometry

void geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size)
{
    CHECK(g != nullptr, "geom_alloc: no record to fill");
    // byte counts of the arrays must not wrap
    CHECK(n_vertices <= UINT64_MAX / 8 && n_faces <= UINT64_MAX / 16,
          "out of memory: %llu vertices and %llu faces do not fit in memory",
          (unsigned long long)n_vertices, (unsigned long long)n_faces);
    std::memset(g, 0, sizeof *g);
    g->x = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->y = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->z = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->n_vertices = n_vertices;
    g->n_faces = n_faces;
    g->n_edges = n_edges;
    g->flags = uint64_t(face_size) & 0xF;
}

void geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size)
{
    geom_alloc_vertices(g, n_vertices, n_faces, n_edges, face_size);
    g->corner0 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner1 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner2 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    if (geom_face_size(g) == 4) g->corner3 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
}

void geom_free(geom* g)
{
    if (!g) return;
    mem_free(g->x);
    mem_free(g->y);
    mem_free(g->z);
    mem_free(g->corner0);
    mem_free(g->corner1);
    mem_free(g->corner2);
    mem_free(g->corner3);
    std::memset(g, 0, sizeof *g);
}

// ---------------------------------------------------------------- connectivity

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

// ---------------------------------------------------------------- subdivision

void iteration_advance(geom* geom_in, mesh* mesh_in, const geom* geom_out, const mesh* mesh_out,
                       bool owned)
{
    std::fprintf(stderr, "Finished iteration vertices %llu -> %llu\n",
                 (unsigned long long)geom_in->n_vertices, (unsigned long long)geom_out->n_vertices);
    mesh_free(mesh_in);
    if (owned) geom_free(geom_in);
    *geom_in = *geom_out;
    *mesh_in = *mesh_out;
}
