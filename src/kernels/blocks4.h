#pragma once
// The solver's loops in blocks of 4 consecutive samples, for the variants
// whose vectors hold 4 floats: SSE2 on x86-64, Advanced SIMD on aarch64. A
// block is loaded row by row and transposed in registers (permutes move bits
// unchanged), so that lane k carries sample k's prediction chain, columns
// ascending; the gradient then adds the 4 samples' terms in ascending order,
// one vector over 4 columns per sample. The samples after the last block go
// one at a time, as in the portable loops.
//
// A variant's file supplies V, its vector type and these operations, and
// instantiates the loops; everything here has internal linkage, so each copy
// keeps to its own file's instructions:
//   V::vec                     the vector of 4 floats
//   load(p), store(p, v)       4 floats at p, unaligned
//   splat(x)                   x in every lane
//   gather(p, s)               p[0], p[s], p[2s], p[3s]: never reads past p[3s]
//   add(x, y), mul(x, y)       with x first (base/order.h); sub(x, y) = x - y
//   transpose(r0, r1, r2, r3)  in place: r_j lane i = old r_i lane j
#include <cstddef>

#include "base/order.h"
#include "kernels/sample_loops.h"
#include "kernels/solver.h"

namespace kestrix {
namespace {

template <class V>
struct Blocks4 {
    using vec = typename V::vec;
    static constexpr std::size_t lanes = 4;

    // Lane k: bias + w[0] * x[k][0] + ..., columns ascending, for the 4 rows
    // of c columns from base.
    [[gnu::always_inline]] static vec predict_block(const float* base, std::size_t c,
                                                    const float* w, float bias) {
        vec p = V::splat(bias);
        auto column = [&](std::size_t j, vec x) { p = V::add(p, V::mul(V::splat(w[j]), x)); };
        std::size_t t = 0;
        for (; t + lanes <= c; t += lanes) {
            vec x0 = V::load(base + t), x1 = V::load(base + c + t);
            vec x2 = V::load(base + 2 * c + t), x3 = V::load(base + 3 * c + t);
            V::transpose(x0, x1, x2, x3);
            column(t, x0);
            column(t + 1, x1);
            column(t + 2, x2);
            column(t + 3, x3);
        }
        // The last columns one at a time: no load may reach past the block's
        // last row, which may be the operand's end.
        for (; t < c; ++t) column(t, V::gather(base + t, c));
        return p;
    }

    static void fold_singles(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
        float gb = acc[in.cols];
        gradient_tail(in, lo, hi, acc, gb);
        acc[in.cols] = gb;
    }

    // Rows of C <= 16 columns: the sums of the whole columns' vectors stay in
    // registers, those of the last C % 4 columns in single floats, so that
    // each sample adds to them without a round trip through memory.
    template <int C>
    static void fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
        constexpr std::size_t vectors = C / 4, rest = C % 4;
        vec g[vectors > 0 ? vectors : 1];
        float gt[rest > 0 ? rest : 1];
#pragma GCC unroll 4
        for (std::size_t v = 0; v < vectors; ++v) g[v] = V::load(acc + 4 * v);
#pragma GCC unroll 4
        for (std::size_t j = 0; j < rest; ++j) gt[j] = acc[4 * vectors + j];
        float gb = acc[C];
        std::size_t i = lo;
        for (; i + lanes <= hi; i += lanes) {
            const float* base = in.x + i * C;
            alignas(16) float ek[4];
            V::store(ek, V::sub(predict_block(base, C, in.w, in.bias), V::load(in.y + i)));
#pragma GCC unroll 4
            for (std::size_t k = 0; k < 4; ++k) {
                const float* row = base + k * C;
                const vec ev = V::splat(ek[k]);
#pragma GCC unroll 4
                for (std::size_t v = 0; v < vectors; ++v)
                    g[v] = V::add(g[v], V::mul(ev, V::load(row + 4 * v)));
#pragma GCC unroll 4
                for (std::size_t j = 0; j < rest; ++j)
                    gt[j] = order::add(gt[j], order::mul(ek[k], row[4 * vectors + j]));
                gb = order::add(gb, ek[k]);
            }
        }
#pragma GCC unroll 4
        for (std::size_t v = 0; v < vectors; ++v) V::store(acc + 4 * v, g[v]);
#pragma GCC unroll 4
        for (std::size_t j = 0; j < rest; ++j) acc[4 * vectors + j] = gt[j];
        acc[C] = gb;
        fold_singles(in, i, hi, acc);
    }

    // Wider rows: the sums go through memory, 4 columns at a time; within
    // them the block's samples still add in ascending order.
    static void fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
        const std::size_t c = in.cols;
        float gb = acc[c];
        std::size_t i = lo;
        for (; i + lanes <= hi; i += lanes) {
            const float* base = in.x + i * c;
            alignas(16) float ek[4];
            V::store(ek, V::sub(predict_block(base, c, in.w, in.bias), V::load(in.y + i)));
            std::size_t t = 0;
            for (; t + lanes <= c; t += lanes) {
                vec g = V::load(acc + t);
#pragma GCC unroll 4
                for (std::size_t k = 0; k < 4; ++k)
                    g = V::add(g, V::mul(V::splat(ek[k]), V::load(base + k * c + t)));
                V::store(acc + t, g);
            }
#pragma GCC unroll 4
            for (std::size_t k = 0; k < 4; ++k) {
                for (std::size_t j = t; j < c; ++j)
                    acc[j] = order::add(acc[j], order::mul(ek[k], base[k * c + j]));
                gb = order::add(gb, ek[k]);
            }
        }
        acc[c] = gb;
        fold_singles(in, i, hi, acc);
    }

    static void gradient_fold(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
        const std::size_t c = in.cols;
        if (c == 0 || c > 16)
            fold_wide(in, lo, hi, acc);
        else
            with_width<16>(c, [&](auto n) { fold_narrow<decltype(n)::value>(in, lo, hi, acc); });
    }

    static void predict_rows(const float* x, std::size_t c, const float* w, float bias,
                             std::size_t lo, std::size_t hi, float* out) {
        std::size_t r = lo;
        auto blocks = [&](auto cols) {
            for (; r + lanes <= hi; r += lanes)
                V::store(out + r, predict_block(x + r * cols, cols, w, bias));
        };
        // Up to 8 columns the block's loops are unrolled for the width.
        if (c > 0 && c <= 8)
            with_width<8>(c, [&](auto n) { blocks(n); });
        else
            blocks(c);
        for (; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
    }
};

}  // namespace
}  // namespace kestrix
