// The stress kernel on the process-wide pool next to its limit: one thread
// making the same library calls in a plain loop.
#include <benchmark/benchmark.h>
#include <math.h>

#include <cstdint>

#include "random_data.h"
#include "stress/stress.h"

namespace kestrix {
namespace {

FloatSeq random_data(std::size_t n) { return random_floats(n, -10.0f, 10.0f, 3); }

// Args: elements, iterations.
void BM_RunHeavyLogic(benchmark::State& state) {
    FloatSeq data = random_data(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(run_heavy_logic(data, state.range(1)));
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}
BENCHMARK(BM_RunHeavyLogic)->Args({1000000, 10})->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SingleThreadLoop(benchmark::State& state) {
    FloatSeq data = random_data(state.range(0));
    const std::int64_t iterations = state.range(1);
    for (auto _ : state) {
        float s = -0.0f;
        for (float x : data) {
            for (std::int64_t k = 0; k < iterations; ++k) x = ::fabsf(::tanf(::cosf(::sinf(x))));
            s = s + x;
        }
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}
BENCHMARK(BM_SingleThreadLoop)->Args({1000000, 10})->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
