// The machine's own limits, so that the report can say how close each kernel
// comes to them on whatever machine it runs: the float32 throughput of
// separate multiply and add instructions (the only kind the kernels use), and
// the memory bandwidth of a streaming read-and-write and of a read alone, all
// with every core busy.
// The fused multiply-add's throughput is measured beside them, as the ceiling
// of a peer that may round once per multiply-add where kestrix rounds twice.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstddef>
#include <thread>

#include "base/float_seq.h"

namespace kestrix {
namespace {

const int cores = static_cast<int>(std::thread::hardware_concurrency());

// Twelve independent multiply-add chains: enough to cover both latencies on
// every pipe. Volatile asm keeps the compiler from hoisting, folding or
// fusing them, and emits the fused instruction only where asked.
template <bool fused, class V>
[[gnu::always_inline]] inline void step(V& c, V a, V b) {
    if constexpr (fused) {
        __asm__ volatile("vfmadd231ps %2, %1, %0" : "+v"(c) : "v"(a), "v"(b));
    } else {
        V p;
        __asm__ volatile("vmulps %2, %1, %0" : "=v"(p) : "v"(a), "v"(b));
        __asm__ volatile("vaddps %1, %0, %0" : "+v"(c) : "v"(p));
    }
}

template <bool fused, class V>
[[gnu::always_inline]] inline float chains(long steps, V a, V b) {
    V c0{}, c1{}, c2{}, c3{}, c4{}, c5{}, c6{}, c7{}, c8{}, c9{}, c10{}, c11{};
    for (long i = 0; i < steps; ++i) {
        step<fused>(c0, a, b), step<fused>(c1, a, b), step<fused>(c2, a, b);
        step<fused>(c3, a, b), step<fused>(c4, a, b), step<fused>(c5, a, b);
        step<fused>(c6, a, b), step<fused>(c7, a, b), step<fused>(c8, a, b);
        step<fused>(c9, a, b), step<fused>(c10, a, b), step<fused>(c11, a, b);
    }
    V s = c0 + c1 + c2 + c3 + c4 + c5 + c6 + c7 + c8 + c9 + c10 + c11;
    return s[0];
}

template <bool fused>
__attribute__((target("avx512f"))) float chains512(long steps) {
    return chains<fused>(steps, _mm512_set1_ps(1.0f), _mm512_set1_ps(0.5f));
}
template <bool fused>
__attribute__((target("avx2"))) float chains256(long steps) {
    return chains<fused>(steps, _mm256_set1_ps(1.0f), _mm256_set1_ps(0.5f));
}
template <bool fused>
float chains128(long steps) {
    return chains<fused>(steps, _mm_set1_ps(1.0f), _mm_set1_ps(0.5f));
}

// GFLOPS counts a multiply and an add as two operations, as matmul's
// 2 n^3 does; summed over the threads.
template <bool fused>
void peak(benchmark::State& state) {
    constexpr long steps = 1 << 16;
    // The widest vectors the processor has, as the kernels choose theirs.
    const int lanes = __builtin_cpu_supports("avx512f") ? 16
                      : __builtin_cpu_supports("avx2")  ? 8
                                                        : 4;
    for (auto _ : state)
        benchmark::DoNotOptimize(lanes == 16  ? chains512<fused>(steps)
                                 : lanes == 8 ? chains256<fused>(steps)
                                              : chains128<fused>(steps));
    state.counters["GFLOPS"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * steps * 12 * lanes * 2 / 1e9,
                           benchmark::Counter::kIsRate);
}

void BM_MulAddPeak(benchmark::State& state) { peak<false>(state); }
BENCHMARK(BM_MulAddPeak)->Threads(1)->Threads(cores)->UseRealTime();

void BM_FusedPeak(benchmark::State& state) {
    if (!__builtin_cpu_supports("fma")) {
        state.SkipWithError("no fused multiply-add on this processor");
        return;
    }
    peak<true>(state);
}
BENCHMARK(BM_FusedPeak)->Threads(1)->Threads(cores)->UseRealTime();

// GBps: `bytes` of traffic per iteration, summed over the threads.
void count_bytes(benchmark::State& state, double bytes) {
    state.counters["GBps"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * bytes / 1e9, benchmark::Counter::kIsRate);
}

// One thread per core and one alone, timed by the clock on the wall.
void on_threads(benchmark::internal::Benchmark* b) {
    b->Threads(1)->Threads(cores)->UseRealTime()->Unit(benchmark::kMillisecond);
}

// dst = src * 1.5 over 64 MiB per thread, far beyond the caches: 8 bytes of
// traffic per element, counted as add and mul count theirs.
void BM_StreamBandwidth(benchmark::State& state) {
    constexpr std::size_t n = std::size_t{16} << 20;
    FloatSeq src(n, 1.0f), dst(n, 0.0f);
    for (auto _ : state) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * 1.5f;
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state, static_cast<double>(n) * 8);
}
BENCHMARK(BM_StreamBandwidth)->Apply(on_threads);

// A sum over 64 MiB per thread, read only: the limit of a product that
// reads a large operand and writes a small result. Eight independent sums,
// so that the additions never wait on one another and only the reads bound
// the loop.
void BM_ReadBandwidth(benchmark::State& state) {
    constexpr std::size_t n = std::size_t{16} << 20;
    FloatSeq src(n, 1.0f);
    const float* p = src.data();
    for (auto _ : state) {
        __m128 s[8] = {};
        for (std::size_t i = 0; i < n; i += 32)
            for (int j = 0; j < 8; ++j) s[j] = _mm_add_ps(s[j], _mm_load_ps(p + i + 4 * j));
        for (int j = 1; j < 8; ++j) s[0] = _mm_add_ps(s[0], s[j]);
        benchmark::DoNotOptimize(s[0]);
    }
    count_bytes(state, static_cast<double>(n) * 4);
}
BENCHMARK(BM_ReadBandwidth)->Apply(on_threads);

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
