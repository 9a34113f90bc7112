#pragma once
// How every parallel loop is cut into pieces. A piece carries a split budget;
// the whole loop starts with the worker count. The caller decides the first
// split on its own thread and hands it in as one job, whose halves then run
// taken over; every later split offers its right half to other workers.
#include <algorithm>
#include <cstddef>
#include <utility>

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

namespace detail {

// Leaf: R(lo, hi) processes [lo, hi) ascending. Combine: R(R&& left, R&& right).
template <class Leaf, class Combine>
auto split_run(Pool& pool, std::size_t lo, std::size_t hi, Splitter s, bool taken_over, Leaf& leaf,
               Combine& combine) -> decltype(leaf(lo, hi)) {
    if (!s.try_split(hi - lo, taken_over)) return leaf(lo, hi);
    std::size_t mid = lo + (hi - lo) / 2;
    auto [left, right] =
        pool.join([&](bool t) { return split_run(pool, lo, mid, s, t, leaf, combine); },
                  [&](bool t) { return split_run(pool, mid, hi, s, t, leaf, combine); });
    return combine(std::move(left), std::move(right));
}

}  // namespace detail

// Runs a loop over [0, len) on the pool and returns the combined leaf results.
template <class Leaf, class Combine>
auto parallel_reduce(Pool& pool, std::size_t len, Leaf leaf, Combine combine)
    -> decltype(leaf(std::size_t{0}, std::size_t{0})) {
    Splitter s{pool.size(), pool.size()};
    if (!s.try_split(len, false)) return leaf(std::size_t{0}, len);
    std::size_t mid = len / 2;
    return pool.run([&](bool taken_over) {
        auto [left, right] = pool.join(
            [&](bool t) {
                return detail::split_run(pool, 0, mid, s, taken_over || t, leaf, combine);
            },
            [&](bool t) {
                return detail::split_run(pool, mid, len, s, taken_over || t, leaf, combine);
            });
        return combine(std::move(left), std::move(right));
    });
}

// Runs leaf(lo, hi) over disjoint ranges covering [0, len).
template <class Leaf>
void parallel_leaves(Pool& pool, std::size_t len, Leaf leaf) {
    struct Done {};
    parallel_reduce(
        pool, len,
        [&](std::size_t lo, std::size_t hi) {
            leaf(lo, hi);
            return Done{};
        },
        [](Done, Done) { return Done{}; });
}

}  // namespace kestrix
