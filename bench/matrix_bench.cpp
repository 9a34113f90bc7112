#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <tuple>

#include "base/isa.h"
#include "matrix/matrix.h"
#include "pool/pool.h"
#include "random_data.h"

namespace kestrix {
namespace {

Matrix random_matrix(std::size_t rows, std::size_t cols) {
    return make_matrix(random_floats(rows * cols, -1.0f, 1.0f, 42), rows, cols);
}

// workers 0: the process-wide pool (both cores); otherwise a pool of its own.
void matmul_bench(benchmark::State& state, Isa isa, std::size_t workers) {
    if (!isa_supported(isa)) {
        state.SkipWithError("variant not supported");
        return;
    }
    IsaOverride forced(isa);
    auto n = static_cast<std::size_t>(state.range(0));
    Matrix a = random_matrix(n, n), b = random_matrix(n, n);
    std::optional<Pool> own;
    if (workers != 0) own.emplace(workers);
    PoolRef pool = own ? PoolRef(*own) : PoolRef();
    for (auto _ : state) benchmark::DoNotOptimize(matmul(a, b, pool));
    double flops = 2.0 * double(n) * double(n) * double(n);
    state.counters["GFLOP/s"] =
        benchmark::Counter(flops * 1e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Products of the shapes that choose other kernels than the squares: few
// result columns, few result rows, a long inner dimension, an odd size.
// Args: m, k, n; the process-wide pool.
void matmul_shape_bench(benchmark::State& state, Isa isa) {
    if (!isa_supported(isa)) {
        state.SkipWithError("variant not supported");
        return;
    }
    IsaOverride forced(isa);
    auto m = static_cast<std::size_t>(state.range(0)), k = static_cast<std::size_t>(state.range(1)),
         n = static_cast<std::size_t>(state.range(2));
    Matrix a = random_matrix(m, k), b = random_matrix(k, n);
    for (auto _ : state) benchmark::DoNotOptimize(matmul(a, b));
    double flops = 2.0 * double(m) * double(k) * double(n);
    state.counters["GFLOP/s"] =
        benchmark::Counter(flops * 1e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void matmul_shapes(benchmark::internal::Benchmark* b) {
    for (auto [m, k, n] : {std::tuple{4096, 4096, 1},
                           {10000, 16, 1},
                           {2000, 300, 7},
                           {1, 4096, 4096},
                           {3, 5000, 3001},
                           {16, 2000, 2000},
                           {64, 100000, 64},
                           {513, 517, 519}})
        b->Args({m, k, n});
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

// Few result rows against a right operand larger than the last-level cache:
// the rate at which the right operand is read, which bounds these products.
// Args: m, k, n, workers (0: the process-wide pool).
void matmul_few_rows_bench(benchmark::State& state) {
    auto m = static_cast<std::size_t>(state.range(0)), k = static_cast<std::size_t>(state.range(1)),
         n = static_cast<std::size_t>(state.range(2));
    auto workers = static_cast<std::size_t>(state.range(3));
    Matrix a = random_matrix(m, k), b = random_matrix(k, n);
    std::optional<Pool> own;
    if (workers != 0) own.emplace(workers);
    PoolRef pool = own ? PoolRef(*own) : PoolRef();
    for (auto _ : state) benchmark::DoNotOptimize(matmul(a, b, pool));
    state.counters["b_GBps"] = benchmark::Counter(
        double(k) * double(n) * 4e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void few_rows_shapes(benchmark::internal::Benchmark* b) {
    for (int n : {2944, 3000, 3008, 3072})
        for (int m : {1, 2, 5, 8, 16}) b->Args({m, 3000, n, 0});
    for (int m : {1, 8, 16}) b->Args({m, 4096, 4096, 0});
    for (int m : {1, 8}) b->Args({m, 3000, 3000, 1});
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

void scalar_bench(benchmark::State& state, bool multiply) {
    auto n = static_cast<std::size_t>(state.range(0));
    Matrix a = random_matrix(n, n);
    for (auto _ : state) benchmark::DoNotOptimize(multiply ? mul(a, 1.5f) : add(a, 1.5f));
    // One read and one write per element.
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n * n * 8));
}

void transpose_bench(benchmark::State& state) {
    auto n = static_cast<std::size_t>(state.range(0));
    Matrix a = random_matrix(n, n);
    for (auto _ : state) benchmark::DoNotOptimize(transpose(a));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n * n * 8));
}

void matmul_sizes(benchmark::internal::Benchmark* b) {
    for (int n : {64, 96, 128, 256, 512, 1024, 2048}) b->Arg(n);
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

// The large square only where it says something: the widest variant's kernel
// on one worker and on all, with its column blocks.
void large_sizes(benchmark::internal::Benchmark* b) {
    b->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(matmul_bench, avx512, Isa::avx512, 0)->Apply(matmul_sizes)->Apply(large_sizes);
BENCHMARK_CAPTURE(matmul_bench, avx512_1worker, Isa::avx512, 1)
    ->Apply(matmul_sizes)
    ->Apply(large_sizes);
BENCHMARK_CAPTURE(matmul_bench, avx2, Isa::avx2, 0)->Apply(matmul_sizes);
BENCHMARK_CAPTURE(matmul_bench, avx2_1worker, Isa::avx2, 1)->Apply(matmul_sizes);
BENCHMARK_CAPTURE(matmul_bench, baseline_1worker, Isa::baseline, 1)->Apply(matmul_sizes);
BENCHMARK_CAPTURE(matmul_shape_bench, avx512, Isa::avx512)->Apply(matmul_shapes);
BENCHMARK_CAPTURE(matmul_shape_bench, avx2, Isa::avx2)->Apply(matmul_shapes);
BENCHMARK(matmul_few_rows_bench)->Apply(few_rows_shapes);
BENCHMARK_CAPTURE(scalar_bench, add, false)
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scalar_bench, mul, true)
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(transpose_bench)
    ->Arg(256)
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
