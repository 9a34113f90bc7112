#pragma once
// The one-sample-at-a-time loops every solver variant shares: the whole of
// the baseline, and the rows a vector variant's blocks leave over. Each file
// that includes this gets its own copy (internal linkage), so code compiled
// for AVX2 or AVX-512 is never picked by the linker for a baseline caller.
#include <cstddef>
#include <type_traits>
#include <utility>

#include "base/order.h"
#include "kernels/solver.h"

namespace kestrix {
namespace {

// bias + w[0] * row[0] + ..., columns ascending.
inline float predict_one(const float* row, std::size_t c, const float* w, float bias) {
    float p = bias;
    for (std::size_t j = 0; j < c; ++j) p = order::add(p, order::mul(w[j], row[j]));
    return p;
}

// Samples [lo, hi) one at a time into acc (c sums) and gb.
inline void gradient_tail(const GradientInput& in, std::size_t lo, std::size_t hi,
                          float* __restrict acc, float& gb) {
    const std::size_t c = in.cols;
    for (std::size_t i = lo; i < hi; ++i) {
        const float* __restrict row = in.x + i * c;
        float e = predict_one(row, c, in.w, in.bias) - in.y[i];
        for (std::size_t j = 0; j < c; ++j) acc[j] = order::add(acc[j], order::mul(e, row[j]));
        gb = order::add(gb, e);
    }
}

// Calls f(std::integral_constant<int, n>) for the n in [1, Max] equal to c.
template <class F, int... N>
void with_width(std::size_t c, F&& f, std::integer_sequence<int, N...>) {
    (void)((c == N + 1 ? (f(std::integral_constant<int, N + 1>{}), true) : false) || ...);
}
template <int Max, class F>
void with_width(std::size_t c, F&& f) {
    with_width(c, std::forward<F>(f), std::make_integer_sequence<int, Max>{});
}

}  // namespace
}  // namespace kestrix
