// Starting and stopping a pool's threads: a pool is ready once its threads
// exist, and a destroyed pool's workers leave.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <utility>

#include "gated_start.h"
#include "pool/loops.h"
#include "pool/pool.h"
#include "pool/thread_start.h"
#include "support.h"

namespace kestrix {
namespace {

using namespace std::chrono_literals;
using test_support::gate_open;
using test_support::gated_start;
using test_support::past_gate;

float identity(float v) { return v; }

// A pool is ready once its threads exist: no worker has run when it is
// handed out, and a loop handed in then runs when they do.
TEST(Start, APoolIsReadyBeforeItsWorkersRun) {
    ThreadStarter before = set_thread_starter(&gated_start);
    std::thread watchdog([] {  // a pool that waited for its workers fails instead of hanging
        for (int i = 0; i < 10000 && !gate_open; ++i) std::this_thread::sleep_for(1ms);
        gate_open = true;
    });
    {
        Pool pool(3);
        EXPECT_EQ(past_gate.load(), 0);
        std::atomic<bool> loop_done{false};
        float sum = 0.0f;
        std::thread caller([&] {
            sum = parallel_sum(pool, FloatSeq(1000, 1.0f), identity);
            loop_done = true;
        });
        EXPECT_FALSE(loop_done.load());  // no worker can have run it yet
        gate_open = true;
        caller.join();
        EXPECT_EQ(sum, 1000.0f);
        pool.wait_until_started();
        EXPECT_EQ(past_gate.load(), 3);
    }
    watchdog.join();
    set_thread_starter(before);
}

// Waits up to 5 s for the thread count to stop changing, or to reach `want`:
// workers of destroyed pools may still be on their way out.
std::size_t settled_thread_count(std::size_t want = 0) {
    std::size_t n = thread_count();
    for (int i = 0; i < 1000 && n != want; ++i) {
        std::this_thread::sleep_for(5ms);
        if (std::exchange(n, thread_count()) == n && want == 0) break;
    }
    return n;
}

TEST(Pool, StartsItsWorkersAndStopsThemWhenDestroyed) {
    start_and_reap_a_thread();
    std::size_t before = settled_thread_count();
    {
        Pool pool(5);
        EXPECT_EQ(thread_count(), before + 5);
    }
    EXPECT_EQ(settled_thread_count(before), before);
}

}  // namespace
}  // namespace kestrix
