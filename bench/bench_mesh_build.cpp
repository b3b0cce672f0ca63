// Speed of the half-edge construction, through the edge map and with the
// corners paired on 1 and 2 threads, on two big closed meshes:
//   - a torus grid of 500 x 500 quadrilaterals (250,000 faces),
//   - an icosahedron split seven times at its edge midpoints (327,680 triangles).
//
// The "warm" benchmarks keep released blocks, so every build after the first
// writes into pages that were touched before; the "fresh" ones hand every
// large block's pages back to the system on release, so each build pays the
// first touch of its pages again. BM_first_touch measures that cost
// per 4 KiB page on its own (items_per_second counts pages). In a virtual
// machine, memory that the machine has never used since it started costs
// several times more on its first touch; a benchmark that repeats cannot
// show that case, as it soon reuses memory.
//
// Counters: faces per second of wall-clock time (items_per_second; on a
// shared machine compare the CPU column as well), and for the map the mean
// number of slots a lookup or a removal visits, found by replaying the build's
// map operations on a map of the same kind (the timed build counts nothing).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstring>
#include <unordered_map>

#include "mesh.h"
#include "mesh_twins.h"
#include "storage.h"
#include "map.h"

using namespace subdiv;

namespace {

// ---------------------------------------------------------------- meshes

// A closed torus of rows x cols quadrilaterals, rows and cols at least 3.
void make_torus_quads(geom* g, uint64_t rows, uint64_t cols)
{
    uint64_t n_faces = rows * cols;
    geom_alloc(g, rows * cols, n_faces, 2 * n_faces, 4);
    std::memset(g->x, 0, g->n_vertices * 4);
    std::memset(g->y, 0, g->n_vertices * 4);
    std::memset(g->z, 0, g->n_vertices * 4);
    for (uint64_t i = 0; i < rows; ++i) {
        for (uint64_t j = 0; j < cols; ++j) {
            uint64_t i1 = (i + 1) % rows, j1 = (j + 1) % cols;
            uint64_t f = i * cols + j;
            g->corner0[f] = i * cols + j;
            g->corner1[f] = i * cols + j1;
            g->corner2[f] = i1 * cols + j1;
            g->corner3[f] = i1 * cols + j;
        }
    }
}

// The icosahedron, each triangle split `levels` times into four at its edge
// midpoints. The four children of face f of one level are faces 4f to 4f + 3
// of the next, so faces that are near in number are near on the surface.
void make_icosphere(geom* g, int levels)
{
    static const uint64_t ico[20][3] = {
        {0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
        {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
        {3, 8, 9},  {4, 9, 5},  {2, 4, 11},  {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    uint64_t n_faces = 20, n_vertices = 12;
    uint64_t max_faces = 20ull << (2 * levels);
    auto* faces = new uint64_t[3 * max_faces];
    auto* next = new uint64_t[3 * max_faces];
    std::memcpy(faces, ico, sizeof ico);

    for (int level = 0; level < levels; ++level) {
        // the midpoint vertex of each edge, made by the first face to meet it
        std::unordered_map<uint64_t, uint64_t> midpoint;
        midpoint.reserve(n_faces * 2);
        auto mid = [&](uint64_t a, uint64_t b) {
            uint64_t key = a < b ? (a << 32 | b) : (b << 32 | a);
            auto [it, added] = midpoint.try_emplace(key, n_vertices);
            if (added) ++n_vertices;
            return it->second;
        };
        for (uint64_t f = 0; f < n_faces; ++f) {
            uint64_t a = faces[3 * f], b = faces[3 * f + 1], c = faces[3 * f + 2];
            uint64_t ab = mid(a, b), bc = mid(b, c), ca = mid(c, a);
            const uint64_t children[4][3] = {{a, ab, ca}, {ab, b, bc}, {ca, bc, c}, {ab, bc, ca}};
            std::memcpy(next + 12 * f, children, sizeof children);
        }
        std::swap(faces, next);
        n_faces *= 4;
    }

    geom_alloc(g, n_vertices, n_faces, n_faces * 3 / 2, 3);
    std::memset(g->x, 0, n_vertices * 4);
    std::memset(g->y, 0, n_vertices * 4);
    std::memset(g->z, 0, n_vertices * 4);
    for (uint64_t f = 0; f < n_faces; ++f) {
        g->corner0[f] = faces[3 * f];
        g->corner1[f] = faces[3 * f + 1];
        g->corner2[f] = faces[3 * f + 2];
    }
    delete[] faces;
    delete[] next;
}

// ---------------------------------------------------------------- probe counts

struct probe_counts {
    uint64_t finds, find_probes, misses, miss_probes, removes, remove_probes;
    uint64_t max_distance, capacity;
};

// Slots visited by a lookup of key: up to the entry found, or the whole
// bounded walk when there is none.
uint64_t probes_of(const map* m, const void* key)
{
    const uint8_t* value = static_cast<const uint8_t*>(map_find(m, key));
    if (!value) return m->max_distance + 1 < m->capacity ? m->max_distance + 1 : m->capacity;
    uint64_t slot = uint64_t(value - m->values) / m->value_size;
    uint64_t home = map_key_hash(m, key) & (m->capacity - 1);
    return ((slot - home) & (m->capacity - 1)) + 1;
}

// Replays the map operations of mesh_build on g: per face, the lookups of the
// reversed keys, the reservation, the insertions of new edges and the
// removals of completed ones, in the same order and with the same values.
probe_counts replay_map_operations(const geom* g)
{
    probe_counts c = {};
    const int n = geom_face_size(g);
    const uint64_t* corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    map m;
    map_init(&m, edge_map_key_size, edge_map_value_size, edge_map_capacity);
    uint64_t H = 0;
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        edge_key key[4], key_rev[4];
        bool done[4];
        for (int k = 0; k < n; ++k) {
            uint64_t a = corner[k][f], b = corner[(k + 1) % n][f];
            key[k] = edge_key{a, b};
            key_rev[k] = edge_key{b, a};
            uint64_t probes = probes_of(&m, &key_rev[k]);
            done[k] = map_find(&m, &key_rev[k]) != nullptr;
            c.finds += 1;
            c.find_probes += probes;
            if (!done[k]) {
                c.misses += 1;
                c.miss_probes += probes;
            }
        }
        map_reserve(&m, uint64_t(2 * n));
        for (int k = 0; k < n; ++k) {
            if (done[k]) continue;
            uint64_t twin = H + 1;
            map_insert(&m, &key[k], &H);
            map_insert(&m, &key_rev[k], &twin);
            H += 2;
        }
        for (int k = 0; k < n; ++k) {
            if (!done[k]) continue;
            c.removes += 2;
            c.remove_probes += probes_of(&m, &key[k]);
            map_remove(&m, &key[k]);
            c.remove_probes += probes_of(&m, &key_rev[k]);
            map_remove(&m, &key_rev[k]);
        }
    }
    c.max_distance = m.max_distance;
    c.capacity = m.capacity;
    map_free(&m);
    return c;
}

void report_probes(benchmark::State& state, const geom* g)
{
    probe_counts c = replay_map_operations(g);
    state.counters["probes_per_find"] = double(c.find_probes) / double(c.finds);
    state.counters["probes_per_miss"] = double(c.miss_probes) / double(c.misses);
    state.counters["probes_per_remove"] = double(c.remove_probes) / double(c.removes);
    state.counters["max_distance"] = double(c.max_distance);
    state.counters["map_slots"] = double(c.capacity);
}

// ---------------------------------------------------------------- allocation modes

// Blocks of 256 KiB and more come from mem_alloc's arena, which keeps the
// pages of released blocks for the next request; smaller ones (the edge
// map's first tables) from the C library's heap, told here to keep them too.
void keep_released_blocks()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

// The heap maps every block of 64 KiB or more afresh and unmaps it on
// release; the arena's released pages go back with mem_trim.
void return_released_blocks()
{
    mallopt(M_MMAP_THRESHOLD, 64 << 10);
    mallopt(M_TRIM_THRESHOLD, 64 << 10);
}

// ---------------------------------------------------------------- benchmarks

// mesh_build through the edge map for threads 0, else mesh_build_paired on
// that many threads.
void build(mesh* m, geom* g, uint32_t threads)
{
    if (threads == 0)
        mesh_build(m, g, nullptr);
    else
        mesh_build_paired(m, g, threads, nullptr);
}

void run_build(benchmark::State& state, const geom* g, bool fresh, uint32_t threads = 0)
{
    if (fresh)
        return_released_blocks();
    else
        keep_released_blocks();
    mesh m;
    geom built = *g; // shares the arrays; mesh_build sets its edge count
    build(&m, &built, threads); // first touch of the heap pages, outside the timing
    mesh_free(&m);
    for (auto _ : state) {
        build(&m, &built, threads);
        benchmark::DoNotOptimize(m.iedge_next);
        mesh_free(&m);
        if (fresh) mem_trim();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g->n_faces));
    if (threads == 0) report_probes(state, g);
}

void BM_mesh_build_torus_quads(benchmark::State& state)
{
    geom g;
    make_torus_quads(&g, 500, 500);
    run_build(state, &g, false);
    subdiv_geom_free(&g);
}

void BM_mesh_build_icosphere_triangles(benchmark::State& state)
{
    geom g;
    make_icosphere(&g, 7);
    run_build(state, &g, false);
    subdiv_geom_free(&g);
}

void BM_mesh_build_torus_quads_fresh(benchmark::State& state)
{
    geom g;
    make_torus_quads(&g, 500, 500);
    run_build(state, &g, true);
    subdiv_geom_free(&g);
}

void BM_mesh_build_icosphere_triangles_fresh(benchmark::State& state)
{
    geom g;
    make_icosphere(&g, 7);
    run_build(state, &g, true);
    subdiv_geom_free(&g);
}

// The corners paired on state.range(0) threads.
void BM_mesh_build_paired_torus_quads(benchmark::State& state)
{
    geom g;
    make_torus_quads(&g, 500, 500);
    run_build(state, &g, false, uint32_t(state.range(0)));
    subdiv_geom_free(&g);
}

void BM_mesh_build_paired_icosphere_triangles(benchmark::State& state)
{
    geom g;
    make_icosphere(&g, 7);
    run_build(state, &g, false, uint32_t(state.range(0)));
    subdiv_geom_free(&g);
}

// The first write to each 4 KiB page of a freshly mapped 64 MiB block.
void BM_first_touch(benchmark::State& state)
{
    return_released_blocks();
    const uint64_t n_bytes = uint64_t(64) << 20;
    for (auto _ : state) {
        auto* block = static_cast<volatile uint8_t*>(mem_alloc(n_bytes));
        for (uint64_t offset = 0; offset < n_bytes; offset += 4096) block[offset] = 1;
        mem_free(const_cast<uint8_t*>(block));
        mem_trim();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n_bytes / 4096));
}

} // namespace

BENCHMARK(BM_mesh_build_torus_quads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mesh_build_icosphere_triangles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mesh_build_torus_quads_fresh)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mesh_build_icosphere_triangles_fresh)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mesh_build_paired_torus_quads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mesh_build_paired_icosphere_triangles)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_first_touch)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
