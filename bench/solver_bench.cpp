// Gradient steps and predictions on the process-wide pool, for every kernel
// variant this processor runs.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "kernels/solver.h"
#include "kernels/table.h"
#include "random_data.h"
#include "solver/solver.h"

namespace kestrix {
namespace {

Matrix random_matrix(std::uint64_t rows, std::uint64_t cols) {
    return Matrix{random_floats(rows * cols, -1.0f, 1.0f, 7), rows, cols};
}

FloatSeq random_targets(std::uint64_t n) { return random_floats(n, -4.0f, 4.0f, 8); }

// Args: samples, columns, kernel variant (Isa).
void BM_FitStep(benchmark::State& state) {
    const auto isa = static_cast<Isa>(state.range(2));
    if (!isa_supported(isa)) return state.SkipWithError("kernel variant not supported");
    const SolverKernels* kernels = &table_for(isa).solver;
    IsaOverride forced(isa);
    Matrix x = random_matrix(state.range(0), state.range(1));
    FloatSeq y = random_targets(state.range(0));
    // Several steps per fit, so that the reset is a small share of the time.
    const std::uint64_t steps = state.range(0) >= 1000000 ? 2 : 20;
    Solver s;
    s.lr = 0.01f;
    s.iters = steps;
    for (auto _ : state) {
        fit(s, x, y);
        benchmark::DoNotOptimize(s.bias);
    }
    state.counters["per_step"] =
        benchmark::Counter(static_cast<double>(state.iterations() * steps),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(kernels->name);
}

void fit_args(benchmark::internal::Benchmark* b) {
    for (auto [n, c] : {std::pair{100, 4}, {10000, 16}, {1000000, 8}})
        for (int isa = 0; isa < 3; ++isa) b->Args({n, c, isa});
}
BENCHMARK(BM_FitStep)->Apply(fit_args)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Predict(benchmark::State& state) {
    const auto isa = static_cast<Isa>(state.range(2));
    if (!isa_supported(isa)) return state.SkipWithError("kernel variant not supported");
    const SolverKernels* kernels = &table_for(isa).solver;
    IsaOverride forced(isa);
    Matrix x = random_matrix(state.range(0), state.range(1));
    Solver s;
    s.weights = FloatSeq(state.range(1), 0.125f);
    s.bias = 0.5f;
    for (auto _ : state) {
        FloatSeq p = predict(s, x);
        benchmark::DoNotOptimize(p.data());
    }
    state.SetBytesProcessed(state.iterations() * x.data.size() * sizeof(float));
    state.SetLabel(kernels->name);
}
BENCHMARK(BM_Predict)
    ->Args({1000000, 8, 0})
    ->Args({1000000, 8, 1})
    ->Args({1000000, 8, 2})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
