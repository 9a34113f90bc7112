#pragma once
// Element-wise and chunked loops on the pool, which the tests and benchmarks
// use to drive the scheduler the way a caller's loop does; the numeric
// operations themselves run on pool/loops.h.
#include <algorithm>
#include <cstddef>
#include <source_location>

#include "base/fault.h"
#include "base/float_seq.h"
#include "pool/loops.h"

namespace kestrix {

// Fails with "chunk_size must not be zero" unless k > 0.
inline void check_chunk_size(std::size_t k,
                             std::source_location where = std::source_location::current()) {
    if (k == 0) [[unlikely]]
        fail("chunk_size must not be zero", where);
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

}  // namespace kestrix
