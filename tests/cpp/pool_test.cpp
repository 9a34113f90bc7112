// Pool::run and Pool::join semantics, the work-stealing deque, and waking
// workers that have gone to sleep.
#include "pool/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pool/deque.h"
#include "pool/loops.h"

namespace kestrix {
namespace {

using namespace std::chrono_literals;

TEST(Run, FromOutsideRunsOnAWorkerTakenOver) {
    Pool pool(2);
    auto [id, taken_over] = pool.run([](bool t) {
        return std::pair{std::this_thread::get_id(), t};
    });
    EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_TRUE(taken_over);
}

TEST(Run, OnAWorkerRunsInline) {
    Pool pool(2);
    auto [same_thread, inner_taken_over] = pool.run([&](bool) {
        auto outer = std::this_thread::get_id();
        return pool.run([&](bool t) { return std::pair{std::this_thread::get_id() == outer, t}; });
    });
    EXPECT_TRUE(same_thread);
    EXPECT_FALSE(inner_taken_over);
}

TEST(Run, MoveOnlyResultAndVoid) {
    Pool pool(1);
    std::unique_ptr<int> p = pool.run([](bool) { return std::make_unique<int>(42); });
    EXPECT_EQ(*p, 42);
    int side = 0;
    pool.run([&](bool) { side = 7; });
    EXPECT_EQ(side, 7);
}

TEST(Run, FailureComesBackToTheCaller) {
    Pool pool(2);
    EXPECT_THROW(pool.run([](bool) -> int { throw std::runtime_error("boom"); }),
                 std::runtime_error);
    EXPECT_EQ(pool.run([](bool) { return 5; }), 5);  // the pool is still usable
}

TEST(Join, FirstHalfRunsHereNotTakenOver) {
    Pool pool(2);
    bool ok = pool.run([&](bool) {
        auto here = std::this_thread::get_id();
        auto [a, b] = pool.join([&](bool t) { return !t && std::this_thread::get_id() == here; },
                                [](bool) { return 1; });
        return a && b == 1;
    });
    EXPECT_TRUE(ok);
}

TEST(Join, StolenSecondHalfRunsElsewhereTakenOver) {
    Pool pool(2);
    std::atomic<bool> b_started{false};
    auto [a_saw_b, b_info] = pool.run([&](bool) {
        return pool.join(
            [&](bool) {
                // Holds this worker until the other one has taken b.
                auto deadline = std::chrono::steady_clock::now() + 10s;
                while (!b_started.load() && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
                return b_started.load();
            },
            [&](bool t) {
                b_started.store(true);
                return std::pair{std::this_thread::get_id(), t};
            });
    });
    EXPECT_TRUE(a_saw_b);
    EXPECT_NE(b_info.first, std::this_thread::get_id());
    EXPECT_TRUE(b_info.second);
}

TEST(Join, FirstFailureWinsAndBothRun) {
    Pool pool(2);
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> ran{0};
        try {
            pool.join(
                [&](bool) -> int {
                    ran.fetch_add(1);
                    throw std::runtime_error("a");
                },
                [&](bool) -> int {
                    ran.fetch_add(1);
                    throw std::logic_error("b");
                });
            ADD_FAILURE() << "no failure";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "a");
        }
        EXPECT_EQ(ran.load(), 2);
    }
}

TEST(Join, SecondFailureWhenFirstSucceeds) {
    Pool pool(3);
    EXPECT_THROW(
        pool.join([](bool) { return 1; }, [](bool) -> int { throw std::logic_error("b"); }),
        std::logic_error);
}

TEST(Join, EmptyResultIsAnInternalError) {
    detail::JobResult<int> never_ran;
    ::testing::internal::CaptureStderr();
    try {
        never_ran.take();
        ADD_FAILURE() << "no failure";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "internal error: entered unreachable code");
    }
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("entered unreachable code"),
              std::string::npos);
}

TEST(Join, DeepNestingOverflowsTheDequeSafely) {
    Pool pool(2);
    // Deeper than the deque: the halves that do not fit run inline.
    std::function<std::size_t(std::size_t)> depth = [&](std::size_t d) -> std::size_t {
        if (d == 0) return 1;
        auto [a, b] =
            pool.join([&](bool) { return depth(d - 1); }, [](bool) { return std::size_t{1}; });
        return a + b;
    };
    EXPECT_EQ(pool.run([&](bool) { return depth(600); }), 601u);
}

TEST(Sleep, WorkersAsleepAreWokenByNewWork) {
    Pool pool(2);
    FloatSeq in(64, 1.0f);
    for (auto pause : {0ms, 1ms, 30ms, 0ms, 60ms, 2ms}) {
        std::this_thread::sleep_for(pause);  // long enough for the workers to sleep
        for (int r = 0; r < 20; ++r)
            ASSERT_EQ(parallel_sum(pool, in, [](float v) { return v; }), 64.0f);
    }
}

std::size_t thread_count() {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        n += !e.path().empty();
    return n;
}

TEST(Pool, StartsItsWorkersAndStopsThemWhenDestroyed) {
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    // Workers of pools destroyed earlier may still be on their way out.
    std::size_t before = thread_count();
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(5ms);
        if (thread_count() == before) break;
        before = thread_count();
    }
    {
        Pool pool(5);
        EXPECT_EQ(thread_count(), before + 5);
        EXPECT_EQ(pool.size(), 5u);
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (thread_count() != before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(thread_count(), before);
}

using Deque = detail::WorkDeque<int, 8>;

TEST(WorkDeque, OwnerLifoThiefFifoAndFullRefuses) {
    Deque d;
    int items[9];
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(d.push(&items[i]));
    EXPECT_FALSE(d.push(&items[8]));
    EXPECT_EQ(d.steal(), &items[0]);
    EXPECT_TRUE(d.push(&items[8]));  // the slot freed by the steal is reused
    EXPECT_EQ(d.pop(), &items[8]);
    EXPECT_EQ(d.pop(), &items[7]);
    EXPECT_EQ(d.steal(), &items[1]);
    while (d.pop() != nullptr) {}
    EXPECT_EQ(d.steal(), nullptr);
    EXPECT_TRUE(d.empty());
}

TEST(WorkDeque, EveryItemIsTakenExactlyOnceUnderContention) {
    constexpr int total = 200000;
    detail::WorkDeque<int, 64> d;
    std::vector<int> items(total);
    std::vector<std::atomic<int>> taken(total);
    std::atomic<bool> done{false};
    auto take = [&](int* p) { taken[static_cast<std::size_t>(p - items.data())].fetch_add(1); };
    std::vector<std::thread> thieves;
    for (int t = 0; t < 2; ++t)
        thieves.emplace_back([&] {
            while (!done.load())
                if (int* p = d.steal()) take(p);
        });
    for (int i = 0; i < total; ++i) {
        while (!d.push(&items[static_cast<std::size_t>(i)]))
            if (int* p = d.pop()) take(p);
        if (i % 3 == 0)
            if (int* p = d.pop()) take(p);
    }
    while (int* p = d.pop()) take(p);
    done.store(true);
    for (auto& t : thieves) t.join();
    while (int* p = d.steal()) take(p);
    for (int i = 0; i < total; ++i) ASSERT_EQ(taken[static_cast<std::size_t>(i)].load(), 1) << i;
}

}  // namespace
}  // namespace kestrix
