#pragma once
// The five loop shapes that the numeric operations run on the pool. Each
// takes its split budget from the pool's worker count; results go straight
// into their final slots, and partial results combine left + right.
#include <cstddef>
#include <utility>

#include "base/fault.h"
#include "base/float_seq.h"
#include "base/order.h"
#include "pool/split.h"

namespace kestrix {

// Fails with "chunk_size must not be zero" unless k > 0.
inline void check_chunk_size(std::size_t k,
                             std::source_location where = std::source_location::current()) {
    if (k == 0) [[unlikely]]
        fail("chunk_size must not be zero", where);
}

// Chunk count of n items cut into chunks of k (k > 0).
inline std::size_t chunk_count(std::size_t n, std::size_t k) noexcept {
    return n / k + (n % k != 0);
}

// Result i = f(input[i]).
template <class F>
FloatSeq parallel_map(Pool& pool, const FloatSeq& input, F f) {
    FloatSeq out(input.size());
    const float* in = input.data();
    float* o = out.data();
    parallel_leaves(pool, input.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) o[i] = f(in[i]);
    });
    return out;
}

// body(c, chunk, chunk_len) for every chunk c of length k (the last may be shorter).
template <class Body>
void parallel_for_each_chunk(Pool& pool, FloatSeq& buffer, std::size_t k, Body body) {
    check_chunk_size(k);
    std::size_t n = buffer.size();
    float* b = buffer.data();
    parallel_leaves(pool, chunk_count(n, k), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t c = lo; c < hi; ++c) body(c, b + c * k, std::min(k, n - c * k));
    });
}

// Value c = f(chunk, chunk_len) for every chunk c of length k.
template <class F>
FloatSeq parallel_map_chunks(Pool& pool, const FloatSeq& input, std::size_t k, F f) {
    check_chunk_size(k);
    std::size_t n = input.size();
    FloatSeq out(chunk_count(n, k));
    const float* in = input.data();
    float* o = out.data();
    parallel_leaves(pool, out.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t c = lo; c < hi; ++c) o[c] = f(in + c * k, std::min(k, n - c * k));
    });
    return out;
}

// Every leaf folds its indices into a fresh identity() and returns
// combine(identity(), folded); halves combine as combine(left, right), along
// the tree that depends only on n and the worker count.
template <class Identity, class Fold, class Combine>
auto parallel_fold_reduce(Pool& pool, std::size_t n, Identity identity, Fold fold, Combine combine,
                          ItemCost cost = {}) -> decltype(identity()) {
    return parallel_reduce<SplitRule::fixed>(
        pool, n,
        [&](std::size_t lo, std::size_t hi) {
            auto acc = identity();
            for (std::size_t i = lo; i < hi; ++i) fold(acc, i);
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
