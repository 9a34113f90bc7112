// The pool's loops: the five loop shapes, run and join semantics, exact
// split trees with one worker, reductions that follow one tree per length
// and worker count whoever runs them (on the calling thread too), results
// that do not depend on the split, left-first failures, the spin limit,
// concurrent and nested use, and sleeping workers.
#include "pool/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loop_shapes.h"
#include "pool/loops.h"
#include "pool/split_tree.h"
#include "pool/thread_start.h"
#include "pool/worker_count.h"
#include "support.h"

namespace kestrix {
namespace {

using namespace std::chrono_literals;

float identity(float v) { return v; }

// The sum parallel_sum must give on `workers` workers: -0.0 plus each leaf's
// items in order, leaves combined as the tree no steal changes says.
float tree_sum(const FloatSeq& xs, std::size_t workers) {
    std::vector<SplitNode> tree = fixed_tree(xs.size(), workers);
    auto sum = [&](auto& self, std::size_t at) -> float {
        const SplitNode& n = tree[at];
        if (!n.is_leaf()) return self(self, n.left) + self(self, n.right);
        float s = -0.0f;
        for (std::size_t i = n.lo; i < n.hi; ++i) s = s + xs[i];
        return s;
    };
    return sum(sum, 0);
}

// The fold-reduce of a string accumulator along the same tree: fold appends
// the index, combine brackets its operands, every leaf ends with
// combine(identity, acc).
std::string tree_shape(std::size_t n, std::size_t workers) {
    std::vector<SplitNode> tree = fixed_tree(n, workers);
    auto walk = [&](auto& self, std::size_t at) -> std::string {
        const SplitNode& node = tree[at];
        if (!node.is_leaf())
            return "(" + self(self, node.left) + "," + self(self, node.right) + ")";
        std::string acc;
        for (std::size_t i = node.lo; i < node.hi; ++i) acc += std::to_string(i);
        return "(," + acc + ")";
    };
    return walk(walk, 0);
}

FloatSeq awkward(std::size_t n) {
    FloatSeq x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 1.0f / float(i + 1) * (i % 3 ? 1e4f : 1.0f);
    return x;
}

TEST(OneWorkerTree, SumsGroupAsTheSplitRuleSays) {
    Pool pool(1);
    FloatSeq x{1e8f, 1.0f, -1e8f, 1.0f, 3.0f, 1e-7f, 5.0f, -3.0f};
    float eight = ((x[0] + x[1]) + (x[2] + x[3])) + ((x[4] + x[5]) + (x[6] + x[7]));
    EXPECT_EQ(bits(parallel_sum(pool, x, identity)), bits(eight));
    FloatSeq y{1.0f, 1e8f, -1e8f};
    ASSERT_NE(y[0] + (y[1] + y[2]), (y[0] + y[1]) + y[2]);  // the values tell groupings apart
    EXPECT_EQ(parallel_sum(pool, y, identity), y[0] + (y[1] + y[2]));
    for (std::size_t n : {0u, 1u, 2u, 5u, 17u, 1000u, 4099u})
        EXPECT_EQ(bits(parallel_sum(pool, awkward(n), identity)), bits(tree_sum(awkward(n), 1)))
            << n;
}

// A string accumulator shows the grouping itself: fold appends the index,
// combine brackets its operands, and every leaf ends with combine(identity, acc).
TEST(OneWorkerTree, FoldLeavesCombineWithAFreshIdentity) {
    Pool pool(1);
    auto shape = [&](std::size_t n) {
        return parallel_fold_reduce(
            pool, n, [] { return std::string(); },
            [](std::string& acc, std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) acc += std::to_string(i);
            },
            [](std::string l, std::string r) { return "(" + l + "," + r + ")"; });
    };
    EXPECT_EQ(shape(0), "(,)");
    EXPECT_EQ(shape(1), "(,0)");
    EXPECT_EQ(shape(3), "((,0),((,1),(,2)))");
    EXPECT_EQ(shape(8), "((((,0),(,1)),((,2),(,3))),(((,4),(,5)),((,6),(,7))))");
}

// Lengths around those where the reductions' tree on `workers` changes shape
// (below its leaf count some pieces are too short to split), and long ones.
std::vector<std::size_t> tree_points(std::size_t workers) {
    std::size_t leaf_count = std::size_t{8} << (std::bit_width(workers) - 1);
    return {2, 3, leaf_count - 1, leaf_count, leaf_count + 1, 2 * leaf_count + 1, 1000, 4099};
}

// Work that differs from round to round: spread evenly, or heaped on the
// first items (the large values of awkward()), whose leaves sleep so that
// the other workers get a core, find the rest pending and steal it.
float uneven(float v, int round) {
    if (round % 2 != 0 && v >= 1e3f) std::this_thread::sleep_for(100us);
    volatile std::uint32_t spin = 0;
    for (std::uint32_t j = 40; j > 0; --j) spin = spin + 1;
    return v;
}

class Reductions : public ::testing::TestWithParam<std::size_t> {};

// Whichever worker runs which piece, and on the calling thread alone too, the
// sums and folds follow the one tree of the length and the worker count.
TEST_P(Reductions, FollowTheTreeOfTheLengthAndWorkerCount) {
    const std::size_t workers = GetParam();
    // Every worker may spin, so that pushed halves wake sleepers and get
    // stolen even where the workers outnumber the cores.
    Pool pool(workers, workers + 1);
    for (std::size_t n : tree_points(workers)) {
        FloatSeq x = awkward(n);
        const float want = tree_sum(x, workers);
        for (int round = 0; round < 12; ++round) {
            float got = parallel_sum(pool, x, [round](float v) { return uneven(v, round); });
            ASSERT_EQ(bits(got), bits(want)) << "n " << n << " round " << round;
        }
        auto here = std::this_thread::get_id();
        std::atomic<bool> elsewhere{false};
        float alone = parallel_sum(
            pool, x,
            [&](float v) {
                if (std::this_thread::get_id() != here) elsewhere = true;
                return v;
            },
            ItemCost{0.0});
        EXPECT_EQ(bits(alone), bits(want)) << n;
        EXPECT_FALSE(elsewhere.load()) << n;
    }
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, tree_points(workers)[3],
                          tree_points(workers)[5]}) {
        for (int round = 0; round < 4; ++round) {
            ItemCost cost = round == 0 ? ItemCost{0.0} : ItemCost{};
            std::string got = parallel_fold_reduce(
                pool, n, [] { return std::string(); },
                [round](std::string& acc, std::size_t lo, std::size_t hi) {
                    for (std::size_t i = lo; i < hi; ++i) {
                        uneven(i < 2 ? 1e3f : 0.0f, round);
                        acc += std::to_string(i);
                    }
                },
                [](std::string l, std::string r) { return "(" + l + "," + r + ")"; }, cost);
            EXPECT_EQ(got, tree_shape(n, workers)) << n << " round " << round;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, Reductions, ::testing::Values(1, 2, 3, 4, 8));

class Shapes : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Shapes, EverySlotAndChunkIsWrittenOnce) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    FloatSeq in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = float(i);
    std::vector<std::atomic<int>> calls(n);
    FloatSeq out = parallel_map(pool, in, [&](float v) {
        calls[std::size_t(v)].fetch_add(1);
        return v * 0.5f + 1.0f;
    });
    ASSERT_EQ(out.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(calls[i].load(), 1) << i;
        ASSERT_EQ(out[i], in[i] * 0.5f + 1.0f) << i;
    }

    for (std::size_t k : {std::size_t{1}, std::size_t{3}, n + 1}) {
        // A chunk run twice, at the wrong place or with the wrong length
        // leaves some slot other than i + 1.
        FloatSeq buf(n, 0.0f);
        parallel_for_each_chunk(pool, buf, k, [&](std::size_t c, float* chunk, std::size_t len) {
            for (std::size_t j = 0; j < len; ++j) chunk[j] += float(c * k + j + 1);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(buf[i], float(i + 1)) << i;

        FloatSeq sums = parallel_map_chunks(pool, in, k, [](const float* c, std::size_t len) {
            float s = 0.0f;
            for (std::size_t j = 0; j < len; ++j) s = s + c[j];
            return s;
        });
        ASSERT_EQ(sums.size(), chunk_count(n, k));
        for (std::size_t c = 0; c < sums.size(); ++c) {
            float s = 0.0f;
            for (std::size_t j = c * k; j < std::min(n, (c + 1) * k); ++j) s = s + in[j];
            ASSERT_EQ(bits(sums[c]), bits(s)) << c;
        }
    }
    // Every partial sum of ones is an exact integer, so any split gives n.
    EXPECT_EQ(bits(parallel_sum(pool, FloatSeq(n, 1.0f), identity)),
              bits(n == 0 ? -0.0f : float(n)));
}

INSTANTIATE_TEST_SUITE_P(WorkersByLength, Shapes,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8, 64),
                                            ::testing::Values(0, 1, 2, 3, 7, 9, 1001, 100003)));

TEST(ChunkSize, ZeroIsRefusedBeforeAnyWork) {
    Pool pool(2);
    FloatSeq buf(4, 0.0f);
    bool ran = false;
    EXPECT_EQ(fault_message([&] {
                  parallel_for_each_chunk(pool, buf, 0,
                                          [&](std::size_t, float*, std::size_t) { ran = true; });
              }),
              "chunk_size must not be zero");
    EXPECT_EQ(fault_message([&] {
                  parallel_map_chunks(pool, buf, 0, [&](const float*, std::size_t) {
                      ran = true;
                      return 0.0f;
                  });
              }),
              "chunk_size must not be zero");
    EXPECT_FALSE(ran);
}

// The loops a failure is carried out of: an adaptive one, and a reduction on
// the pool and on the calling thread alone.
enum class FailingLoop { chunks, sum, sum_alone };

class Failures : public ::testing::TestWithParam<std::tuple<std::size_t, bool, FailingLoop>> {};

// Item 900 always fails, item 3 too when asked: the failure nearest the start
// comes out, and each failing leaf writes its own report.
TEST_P(Failures, NearestTheStartWinsAndEachLeafReports) {
    auto [workers, item_3_fails, loop] = GetParam();
    Pool pool(workers);
    FloatSeq buf(1000, 0.0f), index(1000);
    for (std::size_t i = 0; i < index.size(); ++i) index[i] = float(i);
    std::atomic<bool> reached_4{false};
    auto item = [&](std::size_t i) {
        if (i == 900 || (i == 3 && item_3_fails)) fail("item " + std::to_string(i));
        if (i == 4) reached_4 = true;
        buf[i] = 1.0f;
    };
    ::testing::internal::CaptureStderr();
    std::string message;
    try {
        if (loop == FailingLoop::chunks) {
            parallel_for_each_chunk(pool, buf, 1,
                                    [&](std::size_t i, float*, std::size_t) { item(i); });
        } else {
            ItemCost cost = loop == FailingLoop::sum_alone ? ItemCost{0.0} : ItemCost{};
            parallel_sum(
                pool, index,
                [&](float v) {
                    item(std::size_t(v));
                    return v;
                },
                cost);
        }
    } catch (const Fault& f) {
        message = f.message();
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, item_3_fails ? "item 3" : "item 900");
    std::size_t reports = 0;
    for (auto p = err.find("panicked at"); p != std::string::npos;
         p = err.find("panicked at", p + 1))
        ++reports;
    EXPECT_EQ(reports, item_3_fails ? 2u : 1u) << err;
    // The leaf holding item 3 stops there (item 4 shares it at every worker
    // count); items before it and leaves without a failure were processed.
    EXPECT_EQ(reached_4.load(), !item_3_fails);
    EXPECT_EQ(buf[2], 1.0f);
    EXPECT_EQ(buf[800], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(WorkersByLoop, Failures,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 8), ::testing::Bool(),
                                            ::testing::Values(FailingLoop::chunks, FailingLoop::sum,
                                                              FailingLoop::sum_alone)));

// However many workers and callers, no more threads spin at once than the
// limit: the rest sleep (or block) at once. Loops of every length, so that
// waits end in every phase.
TEST(Spin, NoMoreThreadsSpinAtOnceThanTheLimit) {
    for (std::size_t limit : {1u, 2u, 3u}) {
        Pool pool(48, limit);
        ASSERT_EQ(pool.spin_limit(), limit);
        std::atomic<int> wrong{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 3; ++t)
            callers.emplace_back([&, t] {
                for (int r = 0; r < 60; ++r) {
                    auto per_item = std::chrono::microseconds((r + t) % 4 == 0 ? 50 : r % 3);
                    FloatSeq in(r % 2 ? 7 : 300, float(r));
                    FloatSeq out = parallel_map(pool, in, [&](float v) {
                        for (auto end = std::chrono::steady_clock::now() + per_item;
                             std::chrono::steady_clock::now() < end;) {}
                        return v + 1.0f;
                    });
                    for (float v : out) wrong += v != float(r) + 1.0f;
                }
            });
        for (auto& c : callers) c.join();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_LE(pool.spin_peak(), limit);
        EXPECT_GE(pool.spin_peak(), 1u);  // the count does count
    }
    EXPECT_EQ(Pool(4).spin_limit(), available_cpus());
}

TEST(Concurrency, LoopsFromSeveralOutsideThreads) {
    Pool one(1), two(2);
    FloatSeq in = awkward(5003);
    float want = tree_sum(in, 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int r = 0; r < 100; ++r) {
                FloatSeq out = parallel_map(two, in, [t](float v) { return v + float(t); });
                for (std::size_t i = 0; i < in.size(); ++i) wrong += out[i] != in[i] + float(t);
                wrong += bits(parallel_sum(one, in, identity)) != bits(want);
            }
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Leaves that take from nothing to milliseconds make the callers' waits end
// while they pause, while they yield and while they are blocked (the leaves
// that sleep leave the cores free, so the yields run out), and switch
// between those from one loop to the next; enough loops that callers in the
// yields also start some waits with the pause again.
TEST(Concurrency, CallersWaitingEveryWayAllReturn) {
    Pool pool(2);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&, t] {
            for (int r = 0; r < 100; ++r) {
                bool sleeps = (r * 7 + t * 3) % 5 == 0;
                auto per_item = std::chrono::microseconds(sleeps ? 500 : r % 3 * 5);
                FloatSeq in(8, float(r));
                FloatSeq out = parallel_map(pool, in, [&](float v) {
                    if (sleeps) std::this_thread::sleep_for(per_item);
                    for (auto end = std::chrono::steady_clock::now() + per_item;
                         !sleeps && std::chrono::steady_clock::now() < end;) {}
                    return v + 1.0f;
                });
                for (float v : out) wrong += v != float(r) + 1.0f;
            }
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Concurrency, LoopStartedInsideAWorker) {
    Pool pool(3);
    FloatSeq rows(64 * 33, 0.0f), in(33);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = float(i);
    parallel_for_each_chunk(pool, rows, 33, [&](std::size_t c, float* row, std::size_t len) {
        FloatSeq inner = parallel_map(pool, in, [c](float v) { return v + float(c); });
        for (std::size_t j = 0; j < len; ++j) row[j] = inner[j];
    });
    for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i], float(i % 33 + i / 33)) << i;
}

TEST(Run, TakenOverOnlyWhereAnotherThreadRunsIt) {
    Pool pool(2);
    auto caller = std::this_thread::get_id();
    auto [outside_id, outside_taken] = pool.run([](bool t) {
        return std::pair{std::this_thread::get_id(), t};
    });
    EXPECT_NE(outside_id, caller);
    EXPECT_TRUE(outside_taken);
    // Nested run is inline; join runs its first half here, not taken over.
    bool inline_ok = pool.run([&](bool) {
        auto here = std::this_thread::get_id();
        bool nested = pool.run([&](bool t) { return !t && std::this_thread::get_id() == here; });
        auto [a, b] = pool.join([&](bool t) { return !t && std::this_thread::get_id() == here; },
                                [](bool) { return 1; });
        return nested && a && b == 1;
    });
    EXPECT_TRUE(inline_ok);
}

TEST(Join, StolenSecondHalfRunsElsewhereTakenOver) {
    Pool pool(2);
    std::atomic<bool> b_started{false};
    auto [a_saw_b, b_info] = pool.run([&](bool) {
        return pool.join(
            [&](bool) {  // holds this worker until the other one has taken b
                for (int i = 0; i < 10000 && !b_started; ++i) std::this_thread::sleep_for(1ms);
                return b_started.load();
            },
            [&](bool t) {
                b_started = true;
                return std::pair{std::this_thread::get_id(), t};
            });
    });
    EXPECT_TRUE(a_saw_b);
    EXPECT_NE(b_info.first, std::this_thread::get_id());
    EXPECT_TRUE(b_info.second);
}

TEST(Join, BothHalvesRunAndTheFirstFailureWins) {
    Pool pool(2);
    std::atomic<int> ran{0};
    auto failing = [&](auto error) {
        return [&ran, error](bool) -> int {
            ++ran;
            throw error;
        };
    };
    for (int round = 0; round < 50; ++round) {
        ran = 0;
        try {
            pool.join(failing(std::runtime_error("a")), failing(std::logic_error("b")));
            ADD_FAILURE() << "no failure";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "a");
        }
        EXPECT_EQ(ran.load(), 2);
    }
    EXPECT_THROW(pool.join([](bool) { return 1; }, failing(std::logic_error("b"))),
                 std::logic_error);
    EXPECT_EQ(pool.run([](bool) { return 5; }), 5);  // the pool is still usable
}

// Results are moved out, never copied: from both halves of a join, inside
// and outside the pool, stolen or not.
TEST(Join, MoveOnlyResultsComeBackFromBothHalves) {
    Pool pool(2);
    for (int r = 0; r < 200; ++r) {
        auto [a, b] = pool.join([r](bool) { return std::make_unique<int>(r); },
                                [r](bool) { return std::make_unique<int>(-r); });
        ASSERT_EQ(*a + *b, 0);
        auto inner = pool.run([&](bool) {
            return pool.join([](bool) { return std::make_unique<int>(1); },
                             [](bool) { return std::make_unique<int>(2); });
        });
        ASSERT_EQ(*inner.first + *inner.second, 3);
    }
}

TEST(Join, NestingDeeperThanTheDequeRunsTheRestInline) {
    Pool pool(2);
    std::function<std::size_t(std::size_t)> depth = [&](std::size_t d) -> std::size_t {
        if (d == 0) return 1;
        auto [a, b] = pool.join([&](bool) { return depth(d - 1); }, [](bool) { return 1u; });
        return a + b;
    };
    EXPECT_EQ(pool.run([&](bool) { return depth(600); }), 601u);
}

// Also where most workers sleep whatever happens: one of 32 may spin.
TEST(Sleep, WorkersAsleepAreWokenByNewWork) {
    for (auto [workers, spin_limit] : {std::pair{2u, 0u}, std::pair{32u, 1u}}) {
        Pool pool(workers, spin_limit);
        FloatSeq in(64, 1.0f);
        for (auto pause : {0ms, 1ms, 30ms, 0ms, 60ms, 2ms}) {
            std::this_thread::sleep_for(pause);  // long enough for the workers to sleep
            for (int r = 0; r < 20; ++r)
                ASSERT_EQ(parallel_sum(pool, in, [](float v) { return v; }), 64.0f);
        }
    }
}

}  // namespace
}  // namespace kestrix
