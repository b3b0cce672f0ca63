// Time per number of the two coordinate formatters, the shortest round-trip
// text (format_shortest) and the six-decimal text (format_f6), on the same
// deterministic sets of 2^16 floats: uniform in [-10, 10], and a mesh-like
// spread of magnitudes from 10^-3 to 10^4 with both signs. One number per
// iteration, so the Time column is nanoseconds per number.
//
//   build/test/bench/bench_float_text --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
#include <benchmark/benchmark.h>

#include <cstdint>

#include "float_text.h"
#include "obj_numbers.h"
#include "obj_write.h"

using namespace subdiv;

static const uint32_t set_size = 1 << 16;

// The floats of set 0 (uniform) or 1 (spread); the same every run.
static const float* bench_values(int64_t set)
{
    static float values[2][set_size];
    static bool made[2];
    float* v = values[set];
    if (made[set]) return v;
    made[set] = true;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 40); // 24 random bits
    };
    const float powers[] = {1e-3f, 1e-2f, 1e-1f, 1.0f, 1e1f, 1e2f, 1e3f};
    for (uint32_t i = 0; i < set_size; ++i) {
        float unit = float(next()) / 16777216.0f; // [0, 1)
        if (set == 0) {
            v[i] = unit * 20.0f - 10.0f;
        } else {
            float magnitude = (1.0f + 9.0f * unit) * powers[next() % 7];
            v[i] = next() & 1 ? -magnitude : magnitude;
        }
    }
    return v;
}

static void BM_format_shortest(benchmark::State& state)
{
    const float* values = bench_values(state.range(0));
    char out[64];
    uint32_t i = 0;
    for (auto _ : state) {
        int length = format_shortest(values[i++ & (set_size - 1)], out);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_format_shortest)->ArgName("spread")->Arg(0)->Arg(1);

static void BM_format_f6(benchmark::State& state)
{
    const float* values = bench_values(state.range(0));
    char out[64];
    uint32_t i = 0;
    for (auto _ : state) {
        int length = format_f6(values[i++ & (set_size - 1)], out);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_format_f6)->ArgName("spread")->Arg(0)->Arg(1);

BENCHMARK_MAIN();
