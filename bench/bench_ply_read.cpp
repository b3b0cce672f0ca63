// Throughput of reading a PLY file into a mesh record on one thread.
//
// The file, generated once into the folder of TMPDIR (default /tmp) and
// removed at the end: a closed torus of 1860 x 1860 quads, float x y z per
// vertex and a uchar count with four int indices per face, about 100 MB;
// its coordinates come from a fixed integer sequence, so the bytes are the
// same on every run. Each repetition is one subdiv_read of the whole file
// (the file read into memory, its header, its counts checked against its
// size, the vertices and faces copied into the record), then
// subdiv_geom_free.
//
// Counters: bytes_per_second (of the file, over the wall time), file_MB. Cases: the file as
// binary_little_endian, the same mesh as binary_big_endian, and as ascii
// (shortest numbers; a smaller torus of 600 x 600, about 12 MB).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "float_text.h"
#include "subdiv/subdiv.h"

namespace {

// Deterministic coordinates in [-100, 100).
float next_coordinate(uint64_t* state)
{
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return float(int64_t(*state >> 40) - (int64_t(1) << 23)) / float(1 << 16);
}

void put_u32(std::string* out, uint32_t value, bool big_endian)
{
    if (big_endian) value = __builtin_bswap32(value);
    out->append(reinterpret_cast<const char*>(&value), 4);
}

// The PLY bytes of an n x n quad torus in the encoding.
std::string torus_ply(uint32_t n, const char* encoding)
{
    const bool ascii = std::strcmp(encoding, "ascii") == 0;
    const bool big_endian = std::strcmp(encoding, "binary_big_endian") == 0;
    const uint64_t count = uint64_t(n) * n;
    std::string out = "ply\nformat " + std::string(encoding) +
                      " 1.0\nelement vertex " + std::to_string(count) +
                      "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                      std::to_string(count) + "\nproperty list uchar int vertex_indices\nend_header\n";
    out.reserve(out.size() + count * (ascii ? 80 : 29));
    uint64_t state = 12345;
    char number[32];
    for (uint64_t v = 0; v < count; ++v)
        for (int axis = 0; axis < 3; ++axis) {
            const float value = next_coordinate(&state);
            if (ascii) {
                out.append(number, size_t(subdiv::format_shortest(value, number)));
                out += axis == 2 ? '\n' : ' ';
            } else {
                uint32_t bits;
                std::memcpy(&bits, &value, 4);
                put_u32(&out, bits, big_endian);
            }
        }
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            const uint32_t i1 = (i + 1) % n, j1 = (j + 1) % n;
            const uint32_t corners[4] = {i * n + j, i * n + j1, i1 * n + j1, i1 * n + j};
            if (ascii) {
                out += "4";
                for (uint32_t c : corners) {
                    out += ' ';
                    out += std::to_string(c);
                }
                out += '\n';
            } else {
                out += char(4);
                for (uint32_t c : corners) put_u32(&out, c, big_endian);
            }
        }
    return out;
}

// A file holding the bytes, removed when the program ends.
struct scratch_file {
    std::string path;
    explicit scratch_file(const std::string& bytes)
    {
        const char* folder = std::getenv("TMPDIR");
        path = std::string(folder && *folder ? folder : "/tmp") + "/subdiv-bench-ply-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
        close(fd);
    }
    ~scratch_file() { std::remove(path.c_str()); }
};

void read_file(benchmark::State& state, uint32_t n, const char* encoding)
{
    static uint32_t made_n = 0;
    static const char* made_encoding = nullptr;
    static scratch_file* file = nullptr;
    static uint64_t file_size = 0;
    if (!file || made_n != n || made_encoding != encoding) {
        delete file;
        const std::string bytes = torus_ply(n, encoding);
        file = new scratch_file(bytes);
        file_size = bytes.size();
        made_n = n;
        made_encoding = encoding;
    }
    subdiv_options options;
    subdiv_options_init(&options);
    options.threads = 1;
    for (auto _ : state) {
        subdiv_geom g = {};
        subdiv_error error;
        if (subdiv_read(file->path.c_str(), &options, &g, &error) != subdiv_ok) {
            state.SkipWithError(error.message);
            break;
        }
        benchmark::DoNotOptimize(g.x);
        subdiv_geom_free(&g);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file_size));
    state.counters["file_MB"] = double(file_size) / 1e6;
}

void BM_ply_read_binary_little_endian(benchmark::State& state)
{
    read_file(state, 1860, "binary_little_endian");
}
void BM_ply_read_binary_big_endian(benchmark::State& state)
{
    read_file(state, 1860, "binary_big_endian");
}
void BM_ply_read_ascii(benchmark::State& state) { read_file(state, 600, "ascii"); }

} // namespace

BENCHMARK(BM_ply_read_binary_little_endian)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ply_read_binary_big_endian)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ply_read_ascii)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

BENCHMARK_MAIN();
