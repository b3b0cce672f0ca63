// One subdivision step of each scheme on a torus of about 260,000 faces,
// the position and face computation timed apart from the connectivity of its
// output, which is timed both through mesh_build and numbered from the
// input's connectivity as the steps do (mesh_derive); and the first
// Catmull-Clark step of a torus of as many triangles, quads and hexagons.
//
//   warm:  the output blocks come from memory the allocator has handed out
//          and taken back before, so no page is touched for the first time;
//   fresh: the pages of the output blocks are returned to the system before
//          each run, so every output page is touched for the first time.
// BM_first_touch gives the cost of one such page on its own.
//
// Run: build/test/bench/bench_subdivide (medians of 5 repetitions).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "catmull_clark.h"
#include "geom.h"
#include "loop.h"
#include "mesh_derive.h"
#include "storage.h"

using namespace subdiv;

namespace {

// 360 × 360 quads cut into 259,200 triangles; 510 × 510 = 260,100 quads
constexpr uint64_t triangle_grid = 360;
constexpr uint64_t quad_grid = 510;

// An m × m grid closed into a torus: quads, or each quad cut into two
// triangles along alternating diagonals.
geom torus_grid(uint64_t m, int face_size)
{
    const uint64_t n_quads = m * m;
    const uint64_t n_faces = face_size == 4 ? n_quads : 2 * n_quads;
    geom g;
    geom_alloc(&g, m * m, n_faces, n_faces * uint64_t(face_size) / 2, face_size);
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < m; ++j) {
            const double u = 2.0 * M_PI * double(i) / double(m);
            const double v = 2.0 * M_PI * double(j) / double(m);
            g.x[i * m + j] = float((2.0 + 0.7 * std::cos(v)) * std::cos(u));
            g.y[i * m + j] = float((2.0 + 0.7 * std::cos(v)) * std::sin(u));
            g.z[i * m + j] = float(0.7 * std::sin(v));
        }
    uint64_t f = 0;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < m; ++j) {
            const uint64_t a = i * m + j, b = ((i + 1) % m) * m + j,
                           c = ((i + 1) % m) * m + (j + 1) % m, d = i * m + (j + 1) % m;
            if (face_size == 4) {
                g.corner0[f] = a, g.corner1[f] = b, g.corner2[f] = c, g.corner3[f] = d;
                ++f;
                continue;
            }
            const bool even = (i + j) % 2 == 0;
            g.corner0[f] = a, g.corner1[f] = b, g.corner2[f] = even ? c : d;
            ++f;
            g.corner0[f] = even ? a : b, g.corner1[f] = c, g.corner2[f] = d;
            ++f;
        }
    return g;
}

// The quad torus of torus_grid(m, 4) with faces of three sizes: in every row
// of cells, of each four the first is cut into two triangles, the second
// stays a quad and the last two merge into a hexagon; about as many faces as
// cells.
geom mixed_torus_grid(uint64_t m)
{
    geom quads = torus_grid(m, 4);
    std::vector<std::vector<uint64_t>> faces;
    for (uint64_t f = 0; f < quads.n_faces; ++f) {
        const uint64_t a = quads.corner0[f], b = quads.corner1[f], c = quads.corner2[f],
                       d = quads.corner3[f];
        const uint64_t j = f % m;
        if (j % 4 == 0) {
            faces.push_back({a, b, c});
            faces.push_back({a, c, d});
        } else if (j % 4 == 1 || j + 1 == m) {
            faces.push_back({a, b, c, d});
        } else if (j % 4 == 2) {
            // this cell and the next: a b c (next c) (next d) d
            faces.push_back({a, b, c, quads.corner2[f + 1], quads.corner3[f + 1], d});
        }
    }
    uint64_t n_corners = 0;
    for (const auto& face : faces) n_corners += face.size();
    geom g;
    geom_alloc_polygons(&g, quads.n_vertices, faces.size(), n_corners);
    std::memcpy(g.x, quads.x, quads.n_vertices * 4);
    std::memcpy(g.y, quads.y, quads.n_vertices * 4);
    std::memcpy(g.z, quads.z, quads.n_vertices * 4);
    uint64_t corner = 0;
    for (uint64_t f = 0; f < faces.size(); ++f) {
        g.face_start[f] = corner;
        for (uint64_t v : faces[f]) g.corners[corner++] = v;
    }
    g.face_start[faces.size()] = corner;
    subdiv_geom_free(&quads);
    return g;
}

// The input meshes and their connectivity, built once.
struct input {
    geom g;
    mesh m;
};

const input& loop_input()
{
    static input in = [] {
        input r = {torus_grid(triangle_grid, 3), {}};
        mesh_build(&r.m, &r.g, nullptr);
        return r;
    }();
    return in;
}

const input& quad_input()
{
    static input in = [] {
        input r = {torus_grid(quad_grid, 4), {}};
        mesh_build(&r.m, &r.g, nullptr);
        return r;
    }();
    return in;
}

const input& mixed_input()
{
    static input in = [] {
        input r = {mixed_torus_grid(quad_grid), {}};
        mesh_build(&r.m, &r.g, nullptr);
        return r;
    }();
    return in;
}

// Hands the whole pages inside a block back to the system: the next block
// placed there is touched for the first time. The allocator's own words
// just before and after the block are left alone.
void drop_pages(void* block, uint64_t n_bytes)
{
    const uint64_t page = 4096;
    const uint64_t start = (reinterpret_cast<uint64_t>(block) + page - 1) & ~(page - 1);
    const uint64_t end = (reinterpret_cast<uint64_t>(block) + padded_size(n_bytes)) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

void drop_geom_pages(geom* g)
{
    drop_pages(g->x, g->n_vertices * 4);
    drop_pages(g->y, g->n_vertices * 4);
    drop_pages(g->z, g->n_vertices * 4);
    drop_pages(g->corner0, g->n_faces * 8);
    drop_pages(g->corner1, g->n_faces * 8);
    drop_pages(g->corner2, g->n_faces * 8);
    if (g->corner3) drop_pages(g->corner3, g->n_faces * 8);
}

uint64_t geom_pages(const geom& g)
{
    const uint64_t corner_arrays = geom_face_size(&g) == 4 ? 4 : 3;
    return (3 * padded_size(g.n_vertices * 4) + corner_arrays * padded_size(g.n_faces * 8)) / 4096;
}

typedef int (*step_fn)(const mesh*, const geom*, geom*, mesh*, const subdiv_options*);

int loop_step_int(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out,
                  const subdiv_options* options)
{
    return loop_step(mesh_in, geom_in, geom_out, mesh_out, options) ? 1 : 0;
}

// Positions and faces of one step; the output is released outside the
// timing, its pages returned to the system first when fresh is set.
void run_step(benchmark::State& state, const input& in, step_fn step, bool fresh)
{
    geom out = {};
    uint64_t n_out = 0, pages = 0;
    for (auto _ : state) {
        step(&in.m, &in.g, &out, nullptr, nullptr);
        state.PauseTiming();
        n_out = out.n_vertices;
        pages = geom_pages(out);
        benchmark::DoNotOptimize(out.x[n_out - 1]);
        if (fresh) drop_geom_pages(&out);
        subdiv_geom_free(&out);
        state.ResumeTiming();
    }
    state.counters["out_vertices"] =
        benchmark::Counter(double(n_out) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["out_pages"] = double(pages);
}

// The connectivity of one step's output, built from a warm output.
void run_mesh_build(benchmark::State& state, const input& in, step_fn step)
{
    geom out = {};
    step(&in.m, &in.g, &out, nullptr, nullptr);
    for (auto _ : state) {
        mesh m = {};
        mesh_build(&m, &out, nullptr);
        state.PauseTiming();
        mesh_free(&m);
        state.ResumeTiming();
    }
    state.counters["out_vertices"] = benchmark::Counter(
        double(out.n_vertices) * double(state.iterations()), benchmark::Counter::kIsRate);
    subdiv_geom_free(&out);
}

// The same connectivity numbered from the step's input's, as the steps do.
void run_mesh_derive(benchmark::State& state, const input& in, step_fn step,
                     bool (*derive)(const mesh*, const geom*, const geom*, mesh*))
{
    geom out = {};
    step(&in.m, &in.g, &out, nullptr, nullptr);
    for (auto _ : state) {
        mesh m = {};
        derive(&in.m, &in.g, &out, &m);
        state.PauseTiming();
        mesh_free(&m);
        state.ResumeTiming();
    }
    state.counters["out_vertices"] = benchmark::Counter(
        double(out.n_vertices) * double(state.iterations()), benchmark::Counter::kIsRate);
    subdiv_geom_free(&out);
}

void BM_loop_step_warm(benchmark::State& state) { run_step(state, loop_input(), loop_step_int, false); }
void BM_loop_step_fresh(benchmark::State& state) { run_step(state, loop_input(), loop_step_int, true); }
void BM_loop_mesh_build(benchmark::State& state) { run_mesh_build(state, loop_input(), loop_step_int); }
void BM_loop_mesh_derive(benchmark::State& state)
{
    run_mesh_derive(state, loop_input(), loop_step_int, loop_mesh_derive);
}
void BM_catmull_clark_step_warm(benchmark::State& state)
{
    run_step(state, quad_input(), catmull_clark_step, false);
}
void BM_catmull_clark_step_fresh(benchmark::State& state)
{
    run_step(state, quad_input(), catmull_clark_step, true);
}
// The first step of a mesh of triangles, quads and hexagons, against the
// quad step of about as many faces above.
void BM_catmull_clark_mixed_step_warm(benchmark::State& state)
{
    run_step(state, mixed_input(), catmull_clark_step, false);
}
void BM_catmull_clark_mesh_build(benchmark::State& state)
{
    run_mesh_build(state, quad_input(), catmull_clark_step);
}

void BM_catmull_clark_mesh_derive(benchmark::State& state)
{
    run_mesh_derive(state, quad_input(), catmull_clark_step, catmull_clark_mesh_derive);
}

// The first touch of one page: 64 MiB of fresh anonymous memory written
// once per page.
void BM_first_touch(benchmark::State& state)
{
    const uint64_t n_bytes = uint64_t(64) << 20, page = 4096;
    for (auto _ : state) {
        state.PauseTiming();
        void* block = mmap(nullptr, n_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        auto* bytes = static_cast<volatile char*>(block);
        state.ResumeTiming();
        for (uint64_t offset = 0; offset < n_bytes; offset += page) bytes[offset] = 1;
        state.PauseTiming();
        munmap(block, n_bytes);
        state.ResumeTiming();
    }
    state.counters["per_page"] = benchmark::Counter(
        double(n_bytes / page) * double(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#define SUBDIV_BENCH(fn)                                                               \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)        \
        ->ReportAggregatesOnly(true)

SUBDIV_BENCH(BM_loop_step_warm);
SUBDIV_BENCH(BM_loop_step_fresh);
SUBDIV_BENCH(BM_loop_mesh_build);
SUBDIV_BENCH(BM_loop_mesh_derive);
SUBDIV_BENCH(BM_catmull_clark_step_warm);
SUBDIV_BENCH(BM_catmull_clark_step_fresh);
SUBDIV_BENCH(BM_catmull_clark_mixed_step_warm);
SUBDIV_BENCH(BM_catmull_clark_mesh_build);
SUBDIV_BENCH(BM_catmull_clark_mesh_derive);
SUBDIV_BENCH(BM_first_touch);

} // namespace

int main(int argc, char** argv)
{
    // Keep freed blocks in the heap instead of handing them back: the warm
    // runs then reuse pages that are already mapped.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
