// Throughput of the OBJ writer in bytes of output text per second, against a
// writer that calls fprintf once per line, on the same synthetic mesh of
// 2^20 vertices and 2^21 quadrilaterals, both writing a file in /tmp; and the
// writer's other forms on that mesh: the shortest numbers, texture
// coordinates (as many as vertices, "f v/vt" faces), materials (a run of
// faces per material).
//
//   build/test/bench/bench_obj_write --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "geom.h"
#include "obj_write.h"

using namespace subdiv;

static const char* const fast_path = "/tmp/subdiv-bench-obj-write.obj";
static const char* const fprintf_path = "/tmp/subdiv-bench-obj-write-fprintf.obj";

// The mesh: coordinates in [-2, 2] with six significant decimals and more,
// corner indices spread over the whole vertex range; the same every run.
static const geom* bench_mesh()
{
    static geom g;
    if (g.x) return &g;
    const uint64_t n_vertices = uint64_t(1) << 20, n_faces = uint64_t(1) << 21;
    geom_alloc(&g, n_vertices, n_faces, 2 * n_faces, 4);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    };
    for (uint64_t i = 0; i < n_vertices; ++i) {
        g.x[i] = float(int64_t(next() % 4000001) - 2000000) / 1048576.0f;
        g.y[i] = float(int64_t(next() % 4000001) - 2000000) / 999983.0f;
        g.z[i] = float(next() % 2000001) / 524288.0f;
    }
    for (uint64_t f = 0; f < n_faces; ++f) {
        g.corner0[f] = next() % n_vertices;
        g.corner1[f] = next() % n_vertices;
        g.corner2[f] = next() % n_vertices;
        g.corner3[f] = next() % n_vertices;
    }
    return &g;
}

static uint64_t file_size(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? uint64_t(st.st_size) : 0;
}

// One fprintf per line into a stdio stream.
static int fprintf_write(const char* path, const geom* g)
{
    FILE* file = std::fopen(path, "w");
    if (!file) return 0;
    std::fprintf(file, "# Vertices %lld\n", (long long)g->n_vertices);
    for (uint64_t i = 0; i < g->n_vertices; ++i)
        std::fprintf(file, "v %f %f %f\n", double(g->x[i]), double(g->y[i]), double(g->z[i]));
    std::fprintf(file, "\n# Triangles %lld\n", (long long)g->n_faces);
    for (uint64_t i = 0; i < g->n_faces; ++i)
        std::fprintf(file, "f %lld %lld %lld %lld\n", (long long)(g->corner0[i] + 1),
                     (long long)(g->corner1[i] + 1), (long long)(g->corner2[i] + 1),
                     (long long)(g->corner3[i] + 1));
    return std::fclose(file) == 0;
}

// The bench mesh with what faces may carry: a texture coordinate per vertex
// (the corners use their vertex's), and materials in runs of 1000 faces.
static const geom* bench_mesh_carrying(bool texcoords, bool materials)
{
    static geom with[2][2];
    geom* g = &with[texcoords][materials];
    if (g->x) return g;
    *g = *bench_mesh(); // shares the positions and corners, which are never released
    if (texcoords) {
        geom_alloc_texcoords(g, g->n_vertices);
        for (uint64_t i = 0; i < g->n_vertices; ++i) {
            g->tex_u[i] = g->x[i] * 0.25f + 0.5f;
            g->tex_v[i] = g->z[i] * 0.25f;
        }
        const uint64_t* corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        for (uint64_t f = 0; f < g->n_faces; ++f)
            for (int k = 0; k < 4; ++k) g->corner_texcoord[4 * f + uint64_t(k)] = corner[k][f];
    }
    if (materials) {
        static char names[] = "steel\0glass\0rubber";
        g->material_names = names;
        g->n_materials = 3;
        g->face_material = new int32_t[g->n_faces];
        for (uint64_t f = 0; f < g->n_faces; ++f) g->face_material[f] = int32_t(f / 1000 % 3);
    }
    return g;
}

static void write_form(benchmark::State& state, bool texcoords, bool materials,
                       subdiv_precision precision)
{
    const geom* g = bench_mesh_carrying(texcoords, materials);
    subdiv_options options;
    subdiv_options_init(&options);
    options.precision = precision;
    for (auto _ : state)
        if (subdiv_obj_write(fast_path, g, &options, nullptr) != subdiv_ok)
            state.SkipWithError("obj_write failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file_size(fast_path)));
}

static void BM_obj_write(benchmark::State& state)
{
    write_form(state, false, false, subdiv_precision_6);
}
BENCHMARK(BM_obj_write)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_obj_write_shortest(benchmark::State& state)
{
    write_form(state, false, false, subdiv_precision_shortest);
}
BENCHMARK(BM_obj_write_shortest)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_obj_write_uv(benchmark::State& state)
{
    write_form(state, true, false, subdiv_precision_6);
}
BENCHMARK(BM_obj_write_uv)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_obj_write_materials(benchmark::State& state)
{
    write_form(state, false, true, subdiv_precision_6);
}
BENCHMARK(BM_obj_write_materials)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_fprintf_write(benchmark::State& state)
{
    const geom* g = bench_mesh();
    for (auto _ : state)
        if (!fprintf_write(fprintf_path, g)) state.SkipWithError("fprintf writer failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file_size(fprintf_path)));
}
BENCHMARK(BM_fprintf_write)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(fast_path);
    unlink(fprintf_path);
    return 0;
}
