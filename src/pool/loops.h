#pragma once
// The reductions that the numeric operations run on the pool, beside the
// plain leaves of pool/split.h. Each takes its split budget from the pool's
// worker count, and partial results combine left + right along the tree that
// depends only on the length and the worker count.
#include <cstddef>
#include <utility>

#include "base/float_seq.h"
#include "base/order.h"
#include "pool/split.h"

namespace kestrix {

// Chunk count of n items cut into chunks of k (k > 0).
inline std::size_t chunk_count(std::size_t n, std::size_t k) noexcept {
    return n / k + (n % k != 0);
}

// Every leaf folds its run of indices, fold(acc, lo, hi), into a fresh
// identity() and returns combine(identity(), folded), so that a leaf's result
// is rounded as a combined one is (+0.0 + -0.0 gives +0.0); halves combine as
// combine(left, right).
template <class Identity, class Fold, class Combine>
auto parallel_fold_reduce(Pool& pool, std::size_t n, Identity identity, Fold fold, Combine combine,
                          ItemCost cost = {}) -> decltype(identity()) {
    return parallel_reduce<SplitRule::fixed>(
        pool, n,
        [&](std::size_t lo, std::size_t hi) {
            auto acc = identity();
            fold(acc, lo, hi);
            return combine(identity(), std::move(acc));
        },
        [&](auto&& left, auto&& right) {
            return combine(std::forward<decltype(left)>(left),
                           std::forward<decltype(right)>(right));
        },
        cost.alone(n));
}

// Sum of f(input[i]): every leaf starts at -0.0 and adds ascending; halves
// add left + right, along the tree that depends only on the length and the
// worker count.
template <class F>
float parallel_sum(Pool& pool, const FloatSeq& input, F f, ItemCost cost = {}) {
    const float* in = input.data();
    return parallel_reduce<SplitRule::fixed>(
        pool, input.size(),
        [&](std::size_t lo, std::size_t hi) {
            float s = -0.0f;
            for (std::size_t i = lo; i < hi; ++i) s = order::add(s, f(in[i]));
            return s;
        },
        [](float left, float right) { return order::add(left, right); }, cost.alone(input.size()));
}

}  // namespace kestrix
