// The pool's hand-off cost, on a pool of its default size and on a crowded
// one, against the bare floors of two threads signalling through a condition
// variable and through one spun-on cache line, and a large sum against one
// thread, and short sums on the calling thread against the pool.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../tests/cpp/loop_shapes.h"
#include "pool/pool.h"
#include "pool/worker_count.h"

namespace kestrix {
namespace {

// A warm two-item loop handed in from outside: inject, split once, run both
// halves on the workers, wake the caller.
void round_trips(benchmark::State& state, Pool& pool) {
    FloatSeq buf(2, 0.0f);
    for (auto _ : state) {
        parallel_for_each_chunk(pool, buf, 1,
                                [](std::size_t, float* x, std::size_t) { *x += 1.0f; });
        benchmark::DoNotOptimize(buf.data());
    }
}

void BM_RoundTripTwoItems(benchmark::State& state) { round_trips(state, global_pool()); }
BENCHMARK(BM_RoundTripTwoItems)->UseRealTime();

// The same after the caller has been busy elsewhere for Arg microseconds (the
// gap is excluded from the time): workers still yielding, or asleep.
void BM_RoundTripAfterGap(benchmark::State& state) {
    Pool& pool = global_pool();
    FloatSeq buf(2, 0.0f);
    auto gap = std::chrono::microseconds(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto until = std::chrono::steady_clock::now() + gap;
        while (std::chrono::steady_clock::now() < until) {}
        state.ResumeTiming();
        parallel_for_each_chunk(pool, buf, 1,
                                [](std::size_t, float* x, std::size_t) { *x += 1.0f; });
        benchmark::DoNotOptimize(buf.data());
    }
}
BENCHMARK(BM_RoundTripAfterGap)->Arg(20)->Arg(2000)->UseRealTime();

// The same on a pool of eight workers per processor, most of them asleep.
void BM_RoundTripCrowdedPool(benchmark::State& state) {
    static Pool pool(8 * available_cpus());
    round_trips(state, pool);
}
BENCHMARK(BM_RoundTripCrowdedPool)->UseRealTime();

// The floor: one request and one reply between two threads through a mutex
// and condition variable.
void BM_CondvarPingPong(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;  // 0: main's, 1: partner's, 2: stop
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return turn != 0; });
            if (turn == 2) return;
            turn = 0;
            cv.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(m);
        turn = 1;
        cv.notify_one();
        cv.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(m);
        turn = 2;
    }
    cv.notify_one();
    partner.join();
}
BENCHMARK(BM_CondvarPingPong)->UseRealTime();

// The spinning floor: a request and a reply through one cache line, which
// moves between the two cores both ways, as the lines of every hand-in and
// its completion do. On a virtual machine the figure changes within minutes
// with where the host places the two cores.
void BM_SpinPingPong(benchmark::State& state) {
    if (std::thread::hardware_concurrency() < 2) {
        state.SkipWithError("one core: the two threads would take turns on it");
        return;
    }
    alignas(64) std::atomic<unsigned> turn{0};  // odd: a request; stop: leave
    constexpr unsigned stop = ~0u;
    std::thread partner([&] {
        for (unsigned seen = 0;;) {
            unsigned t;
            while ((t = turn.load(std::memory_order_acquire)) == seen) _mm_pause();
            if (t == stop) return;
            seen = t + 1;
            turn.store(seen, std::memory_order_release);
        }
    });
    unsigned t = 0;
    for (auto _ : state) {
        turn.store(++t, std::memory_order_release);
        while (turn.load(std::memory_order_acquire) != t + 1) _mm_pause();
        ++t;
    }
    turn.store(stop, std::memory_order_release);
    partner.join();
}
BENCHMARK(BM_SpinPingPong)->UseRealTime();

FloatSeq sum_input(std::size_t n) {
    FloatSeq in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>(i % 1000) * 0.001f;
    return in;
}

void BM_ParallelSum(benchmark::State& state) {
    FloatSeq in = sum_input(static_cast<std::size_t>(state.range(0)));
    Pool& pool = global_pool();
    for (auto _ : state)
        benchmark::DoNotOptimize(parallel_sum(pool, in, [](float v) { return v * v; }));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParallelSum)->Arg(1 << 24)->UseRealTime()->Unit(benchmark::kMillisecond);

// A short sum on the calling thread alone (Arg 1) against the same sum handed
// to the workers (Arg 0): where the two meet is the size below which a
// reduction is better kept on the caller. Both follow the same tree.
void BM_ShortSum(benchmark::State& state) {
    FloatSeq in = sum_input(static_cast<std::size_t>(state.range(0)));
    Pool& pool = global_pool();
    const ItemCost cost = state.range(1) != 0 ? ItemCost{0.0} : ItemCost{};
    for (auto _ : state)
        benchmark::DoNotOptimize(parallel_sum(
            pool, in, [](float v) { return v * v; }, cost));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ShortSum)
    ->ArgsProduct({{1 << 10, 1 << 12, 1 << 14, 1 << 15, 1 << 16, 1 << 17, 1 << 18}, {0, 1}})
    ->UseRealTime();

void BM_SingleThreadSum(benchmark::State& state) {
    FloatSeq in = sum_input(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        float s = -0.0f;
        for (float v : in) s = s + v * v;
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SingleThreadSum)->Arg(1 << 24)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
