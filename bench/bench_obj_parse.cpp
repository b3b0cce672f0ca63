// Throughput and peak memory of obj_parse on large generated OBJ texts.
//
// Two texts, generated in memory: a triangulated grid with "f v v v" corners,
// and the same kind of grid with texture coordinates, normals and
// "f v/vt/vn" corners. Each is above 100 MB; every repetition parses the whole
// text once and releases the results.
//
// Counters: bytes_per_second (the text parsed), text_MB, outputs_MB (the
// blocks obj_parse hands out, from its counts), tracked_ratio = (text +
// outputs) / text, and peak_rss_ratio = (peak resident size of the process -
// its resident size before the first text was made) / text. The peak is
// process-wide: run one benchmark per process for a clean peak_rss_ratio, e.g.
//   build/test/bench/bench_obj_parse --benchmark_filter=positions_only
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "storage.h"
#include "obj_parse.h"

using namespace subdiv;

namespace {

// Peak resident set size of the process, in bytes.
double peak_rss_bytes()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) * 1024.0;
}

// A text buffer filled front to back; its block is sized from an upper bound
// and only the pages written become resident.
struct text_buffer {
    char* data;
    uint64_t length;
    uint64_t capacity;
};

void put_char(text_buffer* t, char c) { t->data[t->length++] = c; }

void put_uint(text_buffer* t, uint64_t value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) put_char(t, digits[--n]);
}

// A value given in millionths, written with six decimals ("-12.345678").
void put_fixed6(text_buffer* t, int64_t millionths)
{
    if (millionths < 0) {
        put_char(t, '-');
        millionths = -millionths;
    }
    put_uint(t, uint64_t(millionths) / 1000000);
    put_char(t, '.');
    uint64_t fraction = uint64_t(millionths) % 1000000;
    for (uint64_t scale = 100000; scale; scale /= 10) put_char(t, char('0' + fraction / scale % 10));
}

void put_text(text_buffer* t, const char* s)
{
    while (*s) put_char(t, *s++);
}

// Deterministic coordinates in [-100, 100) with six decimals.
int64_t next_coordinate(uint64_t* state)
{
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return int64_t((*state >> 33) % 200000000) - 100000000;
}

// An n x n grid of vertices, two triangles per cell. With attributes, every
// vertex also has a "vt" and a "vn" line and corners are v/vt/vn.
text_buffer grid_text(uint64_t n, bool attributes)
{
    uint64_t n_vertices = n * n, n_faces = 2 * (n - 1) * (n - 1);
    text_buffer t;
    t.capacity = n_vertices * (attributes ? 120 : 40) + n_faces * (attributes ? 100 : 40) + 64;
    t.data = static_cast<char*>(mem_alloc(t.capacity + 1));
    t.length = 0;
    put_text(&t, "# generated grid\n");
    uint64_t state = 12345;
    for (uint64_t i = 0; i < n_vertices; ++i) {
        put_text(&t, "v ");
        put_fixed6(&t, next_coordinate(&state));
        put_char(&t, ' ');
        put_fixed6(&t, next_coordinate(&state));
        put_char(&t, ' ');
        put_fixed6(&t, next_coordinate(&state));
        put_char(&t, '\n');
        if (attributes) {
            put_text(&t, "vt ");
            put_fixed6(&t, int64_t((i % n) * 1000000 / n));
            put_char(&t, ' ');
            put_fixed6(&t, int64_t((i / n) * 1000000 / n));
            put_text(&t, "\nvn ");
            put_fixed6(&t, next_coordinate(&state) / 100);
            put_char(&t, ' ');
            put_fixed6(&t, next_coordinate(&state) / 100);
            put_char(&t, ' ');
            put_fixed6(&t, next_coordinate(&state) / 100);
            put_char(&t, '\n');
        }
    }
    put_text(&t, "g grid\n");
    auto corner = [&t, attributes](uint64_t v) {
        put_char(&t, ' ');
        put_uint(&t, v + 1);
        if (attributes) {
            put_char(&t, '/');
            put_uint(&t, v + 1);
            put_char(&t, '/');
            put_uint(&t, v + 1);
        }
    };
    for (uint64_t row = 0; row + 1 < n; ++row)
        for (uint64_t col = 0; col + 1 < n; ++col) {
            uint64_t a = row * n + col, b = a + 1, c = a + n, d = c + 1;
            put_char(&t, 'f');
            corner(a);
            corner(b);
            corner(d);
            put_text(&t, "\nf");
            corner(a);
            corner(d);
            corner(c);
            put_char(&t, '\n');
        }
    if (t.length > t.capacity) std::abort();
    t.data[t.length] = '\0';
    return t;
}

// Bytes of the blocks that a parse hands out.
double output_bytes(const obj_attribs& a, uint64_t n_shapes)
{
    double bytes = 0;
    for (uint64_t n : {uint64_t(a.vertex_count) * 12, uint64_t(a.normal_count) * 12,
                       uint64_t(a.texcoord_count) * 8, uint64_t(a.index_count) * 12,
                       uint64_t(a.face_count) * 4, uint64_t(a.face_count) * 4,
                       (n_shapes + 1) * sizeof(obj_shape)})
        if (n) bytes += double(padded_size(n));
    return bytes;
}

// The text of the benchmark running now, made once for all its repetitions;
// a different text replaces it.
text_buffer g_text = {nullptr, 0, 0};
uint64_t g_text_n = 0;
bool g_text_attributes = false;

const text_buffer* text_for(uint64_t n, bool attributes)
{
    if (g_text.data == nullptr || g_text_n != n || g_text_attributes != attributes) {
        mem_free(g_text.data);
        g_text = grid_text(n, attributes);
        g_text_n = n;
        g_text_attributes = attributes;
    }
    return &g_text;
}

void parse_grid(benchmark::State& state, uint64_t n, bool attributes)
{
    // resident size of the program alone, before any text was made
    static const double rss_start = peak_rss_bytes();
    const text_buffer* text = text_for(n, attributes);
    double outputs = 0;
    for (auto _ : state) {
        obj_attribs attribs;
        obj_shape* shapes = nullptr;
        obj_material* materials = nullptr;
        uint64_t n_shapes = 0, n_materials = 0;
        subdiv_status result = obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials,
                                         text->data, text->length, 0, nullptr, "bench.obj",
                                         nullptr, nullptr);
        if (result != subdiv_ok) {
            state.SkipWithError("obj_parse failed");
            break;
        }
        benchmark::DoNotOptimize(attribs.positions);
        outputs = output_bytes(attribs, n_shapes);
        obj_attribs_free(&attribs);
        obj_shapes_free(shapes, n_shapes);
        obj_materials_free(materials, n_materials);
    }
    double length = double(text->length);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text->length));
    state.counters["text_MB"] = length / 1e6;
    state.counters["outputs_MB"] = outputs / 1e6;
    state.counters["tracked_ratio"] = (length + outputs) / length;
    state.counters["peak_rss_ratio"] = (peak_rss_bytes() - rss_start) / length;
}

// 2.25 million vertices, 4.5 million triangles: about 190 MB.
void positions_only(benchmark::State& state) { parse_grid(state, 1500, false); }

// 1.44 million vertices with texture coordinates and normals, 2.9 million
// v/vt/vn triangles: about 250 MB.
void with_vt_vn(benchmark::State& state) { parse_grid(state, 1200, true); }

} // namespace

BENCHMARK(positions_only)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(with_vt_vn)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

BENCHMARK_MAIN();
