// The split rule's tree as a pure function, against trees worked out by hand
// and against the pieces real loops run.
#include "pool/split_tree.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pool/loops.h"

namespace kestrix {
namespace {

// "[lo,hi)" for a leaf, "(left right)" for a split.
std::string shape(const std::vector<SplitNode>& t, std::size_t at = 0) {
    const SplitNode& n = t[at];
    if (n.is_leaf()) return "[" + std::to_string(n.lo) + "," + std::to_string(n.hi) + ")";
    return "(" + shape(t, n.left) + " " + shape(t, n.right) + ")";
}

std::vector<std::pair<std::size_t, std::size_t>> leaves(const std::vector<SplitNode>& t) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    auto walk = [&](auto& self, std::size_t at) -> void {
        if (t[at].is_leaf()) {
            out.emplace_back(t[at].lo, t[at].hi);
        } else {
            self(self, t[at].left);
            self(self, t[at].right);
        }
    };
    walk(walk, 0);
    return out;
}

TEST(SplitTree, OneWorkerTreesAsWorkedOutByHand) {
    // The caller splits once (budget 1 -> 0); its halves, taken over, regain
    // a budget of 1 and split once more; below them nothing splits.
    EXPECT_EQ(shape(one_worker_tree(0)), "[0,0)");
    EXPECT_EQ(shape(one_worker_tree(1)), "[0,1)");
    EXPECT_EQ(shape(one_worker_tree(3)), "([0,1) ([1,2) [2,3)))");
    EXPECT_EQ(shape(one_worker_tree(8)),
              "((([0,1) [1,2)) ([2,3) [3,4))) "
              "(([4,5) [5,6)) ([6,7) [7,8))))");
    EXPECT_EQ(shape(one_worker_tree(10)),
              "((([0,1) [1,2)) ([2,3) [3,5))) "
              "(([5,6) [6,7)) ([7,8) [8,10))))");
}

// Leaf lengths of the tree no steal changes, left to right.
std::vector<std::size_t> leaf_lengths(std::size_t len, std::size_t workers) {
    std::vector<std::size_t> out;
    for (auto [lo, hi] : leaves(fixed_tree(len, workers))) out.push_back(hi - lo);
    return out;
}

class FixedTrees : public ::testing::TestWithParam<
                       std::tuple<std::size_t, std::size_t, std::vector<std::size_t>>> {};

// The caller's split halves the budget; its halves regain the worker count
// and halve it until it is gone: 8 leaves on one worker, 16 on two or three,
// 32 on four to seven, 64 on eight, or fewer where pieces get too short.
TEST_P(FixedTrees, LeavesAsWorkedOutByHand) {
    auto [len, workers, want] = GetParam();
    EXPECT_EQ(leaf_lengths(len, workers), want);
}

using Lengths = std::vector<std::size_t>;
Lengths ones(std::size_t n) { return Lengths(n, 1); }
Lengths repeat(const Lengths& unit, std::size_t times) {
    Lengths out;
    for (std::size_t t = 0; t < times; ++t) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}
Lengths cat(Lengths a, const Lengths& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::tuple<std::size_t, std::size_t, Lengths> row(std::size_t len, std::size_t workers,
                                                  Lengths want) {
    return {len, workers, std::move(want)};
}

INSTANTIATE_TEST_SUITE_P(ByLengthAndWorkers, FixedTrees,
                         ::testing::Values(row(8, 1, ones(8)), row(9, 1, cat(ones(7), {2})),
                                           row(16, 1, repeat({2}, 8)), row(16, 2, ones(16)),
                                           row(16, 3, ones(16)), row(17, 2, cat(ones(15), {2})),
                                           row(20, 3, repeat({1, 1, 1, 2}, 4)),
                                           row(32, 2, repeat({2}, 16)), row(32, 4, ones(32)),
                                           row(64, 7, repeat({2}, 32)), row(64, 8, ones(64)),
                                           row(130, 8, repeat(cat(repeat({2}, 31), {3}), 2))));

TEST(SplitTree, AStolenHalfRegainsTheWorkersBudget) {
    // Four workers, 64 items: the caller's split leaves a budget of 2; its
    // halves, taken over, regain 4 and are cut into leaves of 2. Stealing
    // [16, 32) gives it a budget of 4 where it would have had 2, so it alone
    // is cut into single items.
    auto never = [](std::size_t, std::size_t, std::size_t) { return false; };
    auto plain = leaves(split_tree(64, 4, never));
    ASSERT_EQ(plain.size(), 32u);
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(plain[i], std::make_pair(2 * i, 2 * i + 2));
    auto one_steal = [](std::size_t lo, std::size_t mid, std::size_t) {
        return lo == 0 && mid == 16;
    };
    auto stolen = leaves(split_tree(64, 4, one_steal));
    ASSERT_EQ(stolen.size(), 40u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(stolen[8 + i], std::make_pair(16 + i, 17 + i));
    EXPECT_EQ(stolen[24], std::make_pair(std::size_t{32}, std::size_t{34}));
}

// The leaves a real loop ran, with the thread of each: a right half ran on
// another worker exactly when its first leaf ran on another thread than its
// piece's first leaf, since every piece runs its left side at once.
struct Trace {
    std::mutex m;
    std::map<std::size_t, std::tuple<std::size_t, std::thread::id>> by_lo;
};

class RealLoops : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RealLoops, RunTheLeavesOfTheTreeTheirStealsDescribe) {
    Pool pool(GetParam());
    for (std::size_t len : {0u, 1u, 2u, 7u, 16u, 33u, 100u, 513u}) {
        for (int round = 0; round < 20; ++round) {
            Trace trace;
            parallel_leaves(pool, len, [&](std::size_t lo, std::size_t hi) {
                volatile unsigned spin = 0;
                for (std::size_t i = lo; i < hi; ++i)
                    for (int j = 0; j < 200; ++j) spin = spin + 1;
                std::lock_guard lock(trace.m);
                trace.by_lo[lo] = {hi, std::this_thread::get_id()};
            });
            auto thread_at = [&](std::size_t lo) { return std::get<1>(trace.by_lo.at(lo)); };
            auto tree =
                split_tree(len, pool.size(), [&](std::size_t lo, std::size_t mid, std::size_t) {
                    return thread_at(lo) != thread_at(mid);
                });
            std::vector<std::pair<std::size_t, std::size_t>> ran;
            for (auto& [lo, leaf] : trace.by_lo) ran.emplace_back(lo, std::get<0>(leaf));
            if (len == 0) ran.assign(1, {0, 0});  // an empty loop runs one empty leaf
            ASSERT_EQ(leaves(tree), ran) << "len " << len << " workers " << pool.size();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, RealLoops, ::testing::Values(1, 2, 3, 8));

}  // namespace
}  // namespace kestrix
