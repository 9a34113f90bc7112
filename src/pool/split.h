#pragma once
// How every parallel loop is cut into pieces. A piece carries a split budget;
// the whole loop starts with the worker count. The caller decides the first
// split on its own thread and hands it in as one job, whose halves then run
// taken over; every later split offers its right half to other workers.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "pool/job.h"
#include "pool/pool.h"

namespace kestrix {

struct Splitter {
    std::size_t budget;
    std::size_t workers;

    // Whether a piece of `len` items splits; updates the budget both halves inherit.
    bool try_split(std::size_t len, bool taken_over) noexcept {
        if (len / 2 < 1) return false;
        if (taken_over) {
            // A half that another thread runs regains the full budget, so work
            // taken over late can still spread across every worker.
            budget = std::max(budget / 2, workers);
            return true;
        }
        if (budget == 0) return false;
        budget /= 2;
        return true;
    }
};

// Which pieces count as taken over below the caller's first split.
enum class SplitRule {
    // Those another worker took: the tree follows who ran what. For loops
    // whose results do not depend on the tree.
    adaptive,
    // None: every piece splits as if it had stayed with the thread that cut
    // it, so the tree depends on the length and the worker count only, and
    // so do sums grouped along it. Idle workers still run any pending piece.
    fixed,
};

// What one item of a reduction costs on one core, in nanoseconds, roughly.
// A reduction whose items together cost less than handing it to the workers
// and back runs on the calling thread alone, along the same tree. Unknown
// (the default): always handed in.
struct ItemCost {
    double ns = -1.0;
    bool alone(std::size_t items) const noexcept {
        return ns >= 0.0 && static_cast<double>(items) * ns <= alone_below_ns;
    }
    // Handing a loop in and waking a second worker costs more than a loop
    // this short takes on one core: it is done before a second worker joins.
    static constexpr double alone_below_ns = 8'000;
};

namespace detail {

// Leaf: R(lo, hi) processes [lo, hi) ascending. Combine: R(R&& left, R&& right).
template <SplitRule Rule, class Leaf, class Combine>
auto split_run(Pool& pool, std::size_t lo, std::size_t hi, Splitter s, bool taken_over, Leaf& leaf,
               Combine& combine) -> decltype(leaf(lo, hi)) {
    if (!s.try_split(hi - lo, taken_over)) return leaf(lo, hi);
    std::size_t mid = lo + (hi - lo) / 2;
    auto [left, right] = pool.join(
        [&](bool t) {
            return split_run<Rule>(pool, lo, mid, s, Rule == SplitRule::adaptive && t, leaf,
                                   combine);
        },
        [&](bool t) {
            return split_run<Rule>(pool, mid, hi, s, Rule == SplitRule::adaptive && t, leaf,
                                   combine);
        });
    return combine(std::move(left), std::move(right));
}

// The tree of a piece that no steal changes, on this thread alone:
// `halves_taken` marks the caller's split, whose halves count as taken over.
// Both halves always run, and the left one's failure wins, as on the pool.
template <class Leaf, class Combine>
auto split_alone(std::size_t lo, std::size_t hi, Splitter s, bool taken_over, bool halves_taken,
                 Leaf& leaf, Combine& combine) -> decltype(leaf(lo, hi)) {
    if (!s.try_split(hi - lo, taken_over)) return leaf(lo, hi);
    std::size_t mid = lo + (hi - lo) / 2;
    auto right = [&] { return split_alone(mid, hi, s, halves_taken, false, leaf, combine); };
    auto left = [&] {
        try {
            return split_alone(lo, mid, s, halves_taken, false, leaf, combine);
        } catch (...) {
            // The right half still runs, for the reports of its own failures.
            try {
                right();
            } catch (...) {}
            throw;
        }
    };
    auto l = left();
    return combine(std::move(l), right());
}

}  // namespace detail

// Runs a loop over [0, len) on the pool and returns the combined leaf results.
// `alone` runs the tree that no steal changes on the calling thread instead
// (the fixed rule's tree, one of the adaptive rule's): for loops too short to
// repay handing them to the workers and back.
template <SplitRule Rule, class Leaf, class Combine>
auto parallel_reduce(Pool& pool, std::size_t len, Leaf leaf, Combine combine, bool alone = false)
    -> decltype(leaf(std::size_t{0}, std::size_t{0})) {
    Splitter s{pool.size(), pool.size()};
    if (alone) return detail::split_alone(0, len, s, false, true, leaf, combine);
    if (!s.try_split(len, false)) return leaf(std::size_t{0}, len);
    std::size_t mid = len / 2;
    // The halves of the caller's split count as taken over under either rule.
    return pool.run([&](bool taken_over) {
        bool halves = Rule == SplitRule::fixed || taken_over;
        auto [left, right] = pool.join(
            [&](bool t) {
                return detail::split_run<Rule>(pool, 0, mid, s, halves || t, leaf, combine);
            },
            [&](bool t) {
                return detail::split_run<Rule>(pool, mid, len, s, halves || t, leaf, combine);
            });
        return combine(std::move(left), std::move(right));
    });
}

// Runs leaf(lo, hi) over disjoint ranges covering [0, len).
template <class Leaf>
void parallel_leaves(Pool& pool, std::size_t len, Leaf leaf) {
    struct Done {};
    parallel_reduce<SplitRule::adaptive>(
        pool, len,
        [&](std::size_t lo, std::size_t hi) {
            leaf(lo, hi);
            return Done{};
        },
        [](Done, Done) { return Done{}; });
}

}  // namespace kestrix
