// The library call that the Python module's refine makes, timed on the same
// arrays as bench/bench_python_refine.py: a geom made from flat arrays (x y z
// per vertex, four corners per face) refined twice into flat arrays by
// subdiv_refine_arrays. The arrays come from the file that
// SUBDIV_BENCH_MESH names (three 64-bit counts: vertices, faces, corners per
// face; then the float32 positions and the int64 corners), else from a quad
// torus of 500 x 500 faces made here.
//
// Run: SUBDIV_BENCH_MESH=FILE build/test/bench/bench_refine_arrays --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "geom.h"
#include "subdiv/subdiv.h"

using namespace subdiv;

namespace {

struct flat_mesh {
    std::vector<float> positions;
    std::vector<int64_t> corners;
    uint64_t face_size = 4;
};

flat_mesh load_mesh()
{
    flat_mesh mesh;
    const char* path = std::getenv("SUBDIV_BENCH_MESH");
    if (path && *path) {
        FILE* file = std::fopen(path, "rb");
        uint64_t counts[3];
        if (!file || std::fread(counts, 8, 3, file) != 3) std::abort();
        mesh.face_size = counts[2];
        mesh.positions.resize(3 * counts[0]);
        mesh.corners.resize(counts[1] * counts[2]);
        if (std::fread(mesh.positions.data(), 4, mesh.positions.size(), file) != mesh.positions.size() ||
            std::fread(mesh.corners.data(), 8, mesh.corners.size(), file) != mesh.corners.size())
            std::abort();
        std::fclose(file);
        return mesh;
    }
    const int n = 500;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double u = 2 * M_PI * i / n, v = 2 * M_PI * j / n, r = 2 + 0.7 * std::cos(v);
            mesh.positions.insert(mesh.positions.end(),
                                  {float(r * std::cos(u)), float(r * std::sin(u)), float(0.7 * std::sin(v))});
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            mesh.corners.insert(mesh.corners.end(), {i * n + j, i * n + (j + 1) % n,
                                                     (i + 1) % n * n + (j + 1) % n, (i + 1) % n * n + j});
    return mesh;
}

// What the module does with the caller's arrays: a geom of library blocks.
void geom_from_flat(const flat_mesh& mesh, geom* g)
{
    const uint64_t n_vertices = mesh.positions.size() / 3, n_faces = mesh.corners.size() / mesh.face_size;
    geom_alloc(g, n_vertices, n_faces, 0, int(mesh.face_size));
    float* const axes[3] = {g->x, g->y, g->z};
    for (uint64_t v = 0; v < n_vertices; ++v)
        for (int a = 0; a < 3; ++a) axes[a][v] = mesh.positions[3 * v + uint64_t(a)];
    uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    for (uint64_t f = 0; f < n_faces; ++f)
        for (uint64_t k = 0; k < mesh.face_size; ++k)
            corner[k][f] = uint64_t(mesh.corners[f * mesh.face_size + k]);
}

void BM_refine_arrays(benchmark::State& state)
{
    static const flat_mesh mesh = load_mesh();
    subdiv_options options;
    subdiv_options_init(&options);
    for (auto _ : state) {
        geom input = {};
        geom_from_flat(mesh, &input);
        subdiv_arrays output = {};
        subdiv_error error;
        if (subdiv_refine_arrays(&input, 2, &options, &output, &error) != subdiv_ok) std::abort();
        benchmark::DoNotOptimize(output.positions);
        subdiv_arrays_free(&output);
    }
}

} // namespace

BENCHMARK(BM_refine_arrays)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
