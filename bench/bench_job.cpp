// The phases of a whole job through the library on 1 and 2 threads: read
// (obj_import of an OBJ file), refine (from the read mesh to the moment the
// last level's text can start: the steps and the passes over the level
// before the last) and write (the last level computed and written block by
// block into a file), each reported as a counter in seconds per job. The
// meshes are those of bench/run_job_bench.sh: a quad torus of 500 x 500
// faces at 2 iterations and an icosphere of 327,680 triangles at 2.
//
// Run: build/test/bench/bench_job --benchmark_repetitions=5
//      --benchmark_report_aggregates_only=true (medians in the _median rows)
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "subdiv/subdiv.h"

namespace {

typedef std::chrono::steady_clock clock_type;

std::string scratch_path(const char* name)
{
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/subdiv-bench-job-" +
           std::to_string(getpid()) + "-" + name;
}

void write_text(const std::string& path, const std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size()) std::abort();
    std::fclose(file);
}

std::string vertex_line(double x, double y, double z)
{
    char line[96];
    std::snprintf(line, sizeof line, "v %.7g %.7g %.7g\n", x, y, z);
    return line;
}

std::string quad_torus(int rows, int cols)
{
    std::string text;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const double u = 2 * M_PI * i / rows, v = 2 * M_PI * j / cols;
            const double r = 2 + 0.7 * std::cos(v);
            text += vertex_line(r * std::cos(u), r * std::sin(u), 0.7 * std::sin(v));
        }
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const int i1 = (i + 1) % rows, j1 = (j + 1) % cols;
            text += "f " + std::to_string(i * cols + j + 1) + " " + std::to_string(i * cols + j1 + 1) +
                    " " + std::to_string(i1 * cols + j1 + 1) + " " +
                    std::to_string(i1 * cols + j + 1) + "\n";
        }
    return text;
}

std::string icosphere(int levels)
{
    const double t = (1 + std::sqrt(5.0)) / 2;
    std::vector<std::vector<double>> p = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                          {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                          {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<std::vector<int>> f = {
        {0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
        {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
        {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
    for (int level = 0; level < levels; ++level) {
        std::map<std::pair<int, int>, int> middle;
        auto mid = [&](int a, int b) {
            const std::pair<int, int> key = a < b ? std::make_pair(a, b) : std::make_pair(b, a);
            auto found = middle.find(key);
            if (found != middle.end()) return found->second;
            std::vector<double> m(3);
            double n = 0;
            for (int k = 0; k < 3; ++k) n += (m[k] = (p[a][k] + p[b][k]) / 2) * m[k];
            for (int k = 0; k < 3; ++k) m[k] /= std::sqrt(n);
            p.push_back(m);
            return middle[key] = int(p.size()) - 1;
        };
        std::vector<std::vector<int>> next;
        for (const auto& q : f) {
            const int ab = mid(q[0], q[1]), bc = mid(q[1], q[2]), ca = mid(q[2], q[0]);
            next.insert(next.end(), {{q[0], ab, ca}, {q[1], bc, ab}, {q[2], ca, bc}, {ab, bc, ca}});
        }
        f = next;
    }
    std::string text;
    for (const auto& v : p) text += vertex_line(v[0], v[1], v[2]);
    for (const auto& q : f)
        text += "f " + std::to_string(q[0] + 1) + " " + std::to_string(q[1] + 1) + " " +
                std::to_string(q[2] + 1) + "\n";
    return text;
}

// The moment the last iteration was reported: its text starts next.
void mark_last(void* context, int32_t, uint64_t, uint64_t)
{
    *static_cast<clock_type::time_point*>(context) = clock_type::now();
}

double seconds(clock_type::time_point from, clock_type::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

void run_job(benchmark::State& state, const std::string& mesh)
{
    const std::string input = scratch_path("in.obj"), output = scratch_path("out.obj");
    write_text(input, mesh);
    subdiv_options options;
    subdiv_options_init(&options);
    options.threads = int32_t(state.range(0));
    clock_type::time_point last_reported;
    options.progress = mark_last;
    options.context = &last_reported;
    double read = 0, refine = 0, write = 0;
    for (auto _ : state) {
        const clock_type::time_point start = clock_type::now();
        subdiv_geom g = {};
        subdiv_error error;
        if (subdiv_obj_read(input.c_str(), &options, &g, &error) != subdiv_ok) std::abort();
        const clock_type::time_point read_end = clock_type::now();
        if (subdiv_refine_to_obj(&g, 2, &options, output.c_str(), nullptr, nullptr, &error) !=
            subdiv_ok)
            std::abort();
        const clock_type::time_point end = clock_type::now();
        read += seconds(start, read_end);
        refine += seconds(read_end, last_reported);
        write += seconds(last_reported, end);
        // the next job writes a new file, not over this one, as the tool's
        // runs in bench/run_job_bench.sh do
        std::remove(output.c_str());
    }
    state.counters["read_s"] = benchmark::Counter(read, benchmark::Counter::kAvgIterations);
    state.counters["refine_s"] = benchmark::Counter(refine, benchmark::Counter::kAvgIterations);
    state.counters["write_s"] = benchmark::Counter(write, benchmark::Counter::kAvgIterations);
    std::remove(input.c_str());
    std::remove(output.c_str());
}

void BM_job_quad_torus_250k(benchmark::State& state)
{
    static const std::string mesh = quad_torus(500, 500);
    run_job(state, mesh);
}

void BM_job_icosphere_328k(benchmark::State& state)
{
    static const std::string mesh = icosphere(7);
    run_job(state, mesh);
}

} // namespace

BENCHMARK(BM_job_quad_torus_250k)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_job_icosphere_328k)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
