// The five loop shapes: exact split trees with one worker, results that do not
// depend on the split, left-first failures, and concurrent and nested use.
#include "pool/loops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.h"

namespace kestrix {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

FloatSeq seq(std::vector<float> v) { return FloatSeq(v.begin(), v.end()); }

// The split tree of one worker written out independently: only the two
// halves of the first split are taken over (there is no thief).
template <class Leaf, class Combine>
auto one_worker_tree(std::size_t lo, std::size_t hi, std::size_t budget, bool taken_over, Leaf leaf,
                     Combine combine) -> decltype(leaf(lo, hi)) {
    std::size_t len = hi - lo;
    if (len < 2 || (!taken_over && budget == 0)) return leaf(lo, hi);
    budget = taken_over ? std::max<std::size_t>(budget / 2, 1) : budget / 2;
    std::size_t mid = lo + len / 2;
    return combine(one_worker_tree(lo, mid, budget, false, leaf, combine),
                   one_worker_tree(mid, hi, budget, false, leaf, combine));
}

float one_worker_sum(const FloatSeq& xs) {
    auto leaf = [&](std::size_t lo, std::size_t hi) {
        float s = -0.0f;
        for (std::size_t i = lo; i < hi; ++i) s = s + xs[i];
        return s;
    };
    auto add = [](float a, float b) { return a + b; };
    if (xs.size() < 2) return leaf(0, xs.size());
    std::size_t mid = xs.size() / 2;
    return add(one_worker_tree(0, mid, 0, true, leaf, add),
               one_worker_tree(mid, xs.size(), 0, true, leaf, add));
}

float serial_sum(const FloatSeq& xs) {
    float s = -0.0f;
    for (float x : xs) s = s + x;
    return s;
}

TEST(OneWorkerTree, EightValueSumIsBalanced) {
    Pool pool(1);
    FloatSeq x = seq({1e8f, 1.0f, -1e8f, 1.0f, 3.0f, 1e-7f, 5.0f, -3.0f});
    float want = ((x[0] + x[1]) + (x[2] + x[3])) + ((x[4] + x[5]) + (x[6] + x[7]));
    ASSERT_NE(bits(want), bits(serial_sum(x)));  // the values tell groupings apart
    EXPECT_EQ(bits(parallel_sum(pool, x, [](float v) { return v; })), bits(want));
}

TEST(OneWorkerTree, ThreeValueSumGroupsRight) {
    Pool pool(1);
    FloatSeq x = seq({1.0f, 1e8f, -1e8f});
    float want = x[0] + (x[1] + x[2]);
    ASSERT_NE(bits(want), bits((x[0] + x[1]) + x[2]));
    EXPECT_EQ(bits(parallel_sum(pool, x, [](float v) { return v; })), bits(want));
}

TEST(OneWorkerTree, EmptySumIsNegativeZero) {
    Pool pool(1);
    EXPECT_EQ(bits(parallel_sum(pool, FloatSeq{}, [](float v) { return v; })), bits(-0.0f));
}

TEST(OneWorkerTree, LongSumMatchesTheWrittenOutTree) {
    Pool pool(1);
    for (std::size_t n : {2u, 5u, 17u, 1000u, 4099u}) {
        FloatSeq x(n);
        for (std::size_t i = 0; i < n; ++i)
            x[i] = 1.0f / static_cast<float>(i + 1) * (i % 3 ? 1e4f : 1.0f);
        EXPECT_EQ(bits(parallel_sum(pool, x, [](float v) { return v; })), bits(one_worker_sum(x)))
            << n;
    }
}

// A string accumulator shows the grouping itself: fold appends the index,
// combine brackets its operands.
std::string fold_shape(Pool& pool, std::size_t n) {
    return parallel_fold_reduce(
        pool, n, [] { return std::string(); },
        [](std::string& acc, std::size_t i) { acc += std::to_string(i); },
        [](std::string l, std::string r) { return "(" + l + "," + r + ")"; });
}

TEST(OneWorkerTree, FoldLeavesCombineWithAFreshIdentity) {
    Pool pool(1);
    EXPECT_EQ(fold_shape(pool, 0), "(,)");
    EXPECT_EQ(fold_shape(pool, 1), "(,0)");
    EXPECT_EQ(fold_shape(pool, 3), "((,0),((,1),(,2)))");
    EXPECT_EQ(fold_shape(pool, 8), "((((,0),(,1)),((,2),(,3))),(((,4),(,5)),((,6),(,7))))");
}

TEST(OneWorkerTree, FloatFoldMatchesTheTree) {
    Pool pool(1);
    FloatSeq x = seq({1e8f, 1.0f, -1e8f, 1.0f, 3.0f, 1e-7f, 5.0f, -3.0f});
    float got = parallel_fold_reduce(
        pool, x.size(), [] { return 0.0f; }, [&](float& acc, std::size_t i) { acc = acc + x[i]; },
        [](float l, float r) { return l + r; });
    auto leaf = [](float v) { return 0.0f + (0.0f + v); };
    float want = ((leaf(x[0]) + leaf(x[1])) + (leaf(x[2]) + leaf(x[3]))) +
                 ((leaf(x[4]) + leaf(x[5])) + (leaf(x[6]) + leaf(x[7])));
    EXPECT_EQ(bits(got), bits(want));
}

// Accumulators need not be default-constructible or copyable.
TEST(Fold, MoveOnlyAccumulator) {
    Pool pool(3);
    auto total = parallel_fold_reduce(
        pool, 1000, [] { return std::make_unique<std::uint64_t>(0); },
        [](std::unique_ptr<std::uint64_t>& acc, std::size_t i) { *acc += i; },
        [](std::unique_ptr<std::uint64_t> l, std::unique_ptr<std::uint64_t> r) {
            *l += *r;
            return l;
        });
    EXPECT_EQ(*total, 999u * 1000u / 2);
}

class Shapes : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Shapes, MapWritesEverySlotOnce) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    FloatSeq in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>(i);
    std::vector<std::atomic<int>> calls(n);
    FloatSeq out = parallel_map(pool, in, [&](float v) {
        calls[static_cast<std::size_t>(v)].fetch_add(1);
        return v * 0.5f + 1.0f;
    });
    ASSERT_EQ(out.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(calls[i].load(), 1) << i;
        ASSERT_EQ(bits(out[i]), bits(in[i] * 0.5f + 1.0f)) << i;
    }
}

TEST_P(Shapes, ForEachChunkCoversEveryChunkOnce) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    for (std::size_t k : {std::size_t{1}, std::size_t{3}, n + 1}) {
        FloatSeq buf(n, 0.0f);
        std::size_t chunks = chunk_count(n, k);
        std::vector<std::atomic<int>> calls(chunks);
        parallel_for_each_chunk(pool, buf, k, [&](std::size_t c, float* chunk, std::size_t len) {
            calls[c].fetch_add(1);
            EXPECT_EQ(chunk, buf.data() + c * k);
            EXPECT_EQ(len, std::min(k, n - c * k));
            for (std::size_t j = 0; j < len; ++j) chunk[j] += static_cast<float>(c * 10 + j);
        });
        for (std::size_t c = 0; c < chunks; ++c) ASSERT_EQ(calls[c].load(), 1);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(buf[i], static_cast<float>(i / k * 10 + i % k)) << i;
    }
}

TEST_P(Shapes, MapChunksGivesOneValuePerChunk) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    FloatSeq in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>(i % 100);
    for (std::size_t k : {std::size_t{1}, std::size_t{4}, n + 1}) {
        FloatSeq out = parallel_map_chunks(pool, in, k, [](const float* c, std::size_t len) {
            float s = 0.0f;
            for (std::size_t j = 0; j < len; ++j) s = s + c[j];
            return s;
        });
        ASSERT_EQ(out.size(), chunk_count(n, k));
        for (std::size_t c = 0; c < out.size(); ++c) {
            float s = 0.0f;
            for (std::size_t j = c * k; j < std::min(n, (c + 1) * k); ++j) s = s + in[j];
            ASSERT_EQ(bits(out[c]), bits(s)) << c;
        }
    }
}

TEST_P(Shapes, IntegerSumIsExactWhateverTheSplit) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    FloatSeq in(n, 1.0f);  // every partial sum is an exact small integer
    float want = n == 0 ? -0.0f : static_cast<float>(n);
    EXPECT_EQ(bits(parallel_sum(pool, in, [](float v) { return v; })), bits(want));
}

INSTANTIATE_TEST_SUITE_P(WorkersByLength, Shapes,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(0, 1, 2, 3, 7, 9, 1001, 100003)));

TEST(ChunkSize, ZeroIsRefusedBeforeAnyWork) {
    Pool pool(2);
    FloatSeq buf(4, 0.0f);
    bool ran = false;
    ::testing::internal::CaptureStderr();
    try {
        parallel_for_each_chunk(pool, buf, 0,
                                [&](std::size_t, float*, std::size_t) { ran = true; });
        ADD_FAILURE() << "no failure";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "chunk_size must not be zero");
    }
    EXPECT_THROW(parallel_map_chunks(pool, buf, 0,
                                     [&](const float*, std::size_t) {
                                         ran = true;
                                         return 0.0f;
                                     }),
                 Fault);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ran);
}

std::size_t count_reports(const std::string& err) {
    std::size_t n = 0;
    for (std::size_t p = err.find("panicked at"); p != std::string::npos;
         p = err.find("panicked at", p + 1))
        ++n;
    return n;
}

struct FailCase {
    std::vector<std::size_t> failing;
    std::string message;
};

class Failures : public ::testing::TestWithParam<std::tuple<std::size_t, FailCase>> {};

TEST_P(Failures, NearestTheStartWinsAndEachLeafReports) {
    auto [workers, c] = GetParam();
    Pool pool(workers);
    FloatSeq buf(1000, 0.0f);
    std::atomic<int> after_3{0};
    ::testing::internal::CaptureStderr();
    std::string message;
    try {
        parallel_for_each_chunk(pool, buf, 1, [&](std::size_t i, float* x, std::size_t) {
            for (std::size_t f : c.failing)
                if (i == f) fail("item " + std::to_string(i));
            if (i == 4) after_3.fetch_add(1);
            *x = 1.0f;
        });
    } catch (const Fault& f) {
        message = f.message();
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(count_reports(err), c.failing.size()) << err;
    // The leaf holding item 3 stops there: item 4 shares it at every worker count.
    if (c.failing.front() == 3) {
        EXPECT_EQ(after_3.load(), 0);
    }
    // Items before a failure in its leaf, and leaves without one, were processed.
    EXPECT_EQ(buf[2], 1.0f);
    EXPECT_EQ(buf[800], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Workers, Failures,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(FailCase{{3, 900}, "item 3"},
                                                              FailCase{{900}, "item 900"})));

TEST(Concurrency, LoopsFromSeveralOutsideThreads) {
    Pool pool(2);
    FloatSeq in(5003);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) * 0.25f;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int r = 0; r < 100; ++r) {
                FloatSeq out =
                    parallel_map(pool, in, [t](float v) { return v + static_cast<float>(t); });
                for (std::size_t i = 0; i < in.size(); ++i)
                    if (out[i] != in[i] + static_cast<float>(t)) wrong.fetch_add(1);
            }
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Concurrency, OneWorkerSumIsTheSameFromEveryThread) {
    Pool pool(1);
    FloatSeq in(777);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = 1.0f / static_cast<float>(i + 1);
    float want = one_worker_sum(in);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            for (int r = 0; r < 200; ++r)
                if (bits(parallel_sum(pool, in, [](float v) { return v; })) != bits(want))
                    wrong.fetch_add(1);
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Concurrency, LoopStartedInsideAWorker) {
    Pool pool(3);
    FloatSeq rows(64 * 33, 0.0f);
    FloatSeq in(33);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i);
    parallel_for_each_chunk(pool, rows, 33, [&](std::size_t c, float* row, std::size_t len) {
        FloatSeq inner = parallel_map(pool, in, [c](float v) { return v + static_cast<float>(c); });
        for (std::size_t j = 0; j < len; ++j) row[j] = inner[j];
    });
    for (std::size_t i = 0; i < rows.size(); ++i)
        ASSERT_EQ(rows[i], static_cast<float>(i % 33 + i / 33)) << i;
}

}  // namespace
}  // namespace kestrix
