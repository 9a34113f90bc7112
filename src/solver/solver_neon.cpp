// Advanced SIMD solver kernels. Samples go in blocks of 4 consecutive rows:
// the block is loaded row by row and transposed in registers (permutes move
// bits unchanged), so that lane k carries sample k's prediction chain,
// columns ascending. The gradient then adds the 4 samples' terms in
// ascending order, one vector over 4 columns per sample. The samples after
// the last block go one at a time, as in the baseline.
#include <arm_neon.h>

#include <cstddef>
#include <type_traits>

#include "matrix/dispatch.h"
#include "simd/neon.h"
#include "solver/sample_loops.h"
#include "solver/solver_kernels.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix {
namespace {

using neon::add;
using neon::mul;
using neon::sub;

constexpr std::size_t lanes = 4;

// p + w * x, weight first, the running sum first.
[[gnu::always_inline]] inline float32x4_t add_column(float32x4_t p, const float* w, float32x4_t x) {
    return add(p, mul(vld1q_dup_f32(w), x));
}

// Lane k: bias + w[0] * x[k][0] + ..., columns ascending, for the 4 rows of
// c columns from base.
[[gnu::always_inline]] inline float32x4_t predict_block(const float* base, std::size_t c,
                                                        const float* w, float bias) {
    float32x4_t p = vdupq_n_f32(bias);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes) {
        float32x4_t x0 = vld1q_f32(base + t), x1 = vld1q_f32(base + c + t);
        float32x4_t x2 = vld1q_f32(base + 2 * c + t), x3 = vld1q_f32(base + 3 * c + t);
        neon::transpose4(x0, x1, x2, x3);
        p = add_column(p, w + t, x0);
        p = add_column(p, w + t + 1, x1);
        p = add_column(p, w + t + 2, x2);
        p = add_column(p, w + t + 3, x3);
    }
    // The last columns, each gathered from the four rows: no load may reach
    // past the block's last row, the operand's end.
    for (; t < c; ++t) {
        float32x4_t x = vld1q_dup_f32(base + t);
        x = vld1q_lane_f32(base + c + t, x, 1);
        x = vld1q_lane_f32(base + 2 * c + t, x, 2);
        x = vld1q_lane_f32(base + 3 * c + t, x, 3);
        p = add_column(p, w + t, x);
    }
    return p;
}

// Samples [lo, hi) one at a time (sample_loops.h keeps the same order).
void fold_singles(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    float gb = acc[in.cols];
    gradient_tail(in, lo, hi, acc, gb);
    acc[in.cols] = gb;
}

// Rows of C <= 16 columns: the sums of the whole columns' vectors stay in
// registers, those of the last C % 4 columns in single floats, so that each
// sample adds to them without a round trip through memory.
template <int C>
void fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    constexpr std::size_t vectors = C / 4, rest = C % 4;
    float32x4_t g[vectors > 0 ? vectors : 1];
    float gt[rest > 0 ? rest : 1];
#pragma GCC unroll 4
    for (std::size_t v = 0; v < vectors; ++v) g[v] = vld1q_f32(acc + 4 * v);
#pragma GCC unroll 4
    for (std::size_t j = 0; j < rest; ++j) gt[j] = acc[4 * vectors + j];
    float gb = acc[C];
    std::size_t i = lo;
    for (; i + lanes <= hi; i += lanes) {
        const float* base = in.x + i * C;
        const float32x4_t e = sub(predict_block(base, C, in.w, in.bias), vld1q_f32(in.y + i));
        float ek[4];
        vst1q_f32(ek, e);
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            const float* row = base + k * C;
            const float32x4_t ev = vdupq_n_f32(ek[k]);
#pragma GCC unroll 4
            for (std::size_t v = 0; v < vectors; ++v)
                g[v] = add(g[v], mul(ev, vld1q_f32(row + 4 * v)));
#pragma GCC unroll 4
            for (std::size_t j = 0; j < rest; ++j)
                gt[j] = add_term(gt[j], ek[k], row[4 * vectors + j]);
            gb = add_one(gb, ek[k]);
        }
    }
#pragma GCC unroll 4
    for (std::size_t v = 0; v < vectors; ++v) vst1q_f32(acc + 4 * v, g[v]);
#pragma GCC unroll 4
    for (std::size_t j = 0; j < rest; ++j) acc[4 * vectors + j] = gt[j];
    acc[C] = gb;
    fold_singles(in, i, hi, acc);
}

// Wider rows: the sums go through memory, 4 columns at a time; within them
// the block's samples still add in ascending order.
void fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    float gb = acc[c];
    std::size_t i = lo;
    for (; i + lanes <= hi; i += lanes) {
        const float* base = in.x + i * c;
        float ek[4];
        vst1q_f32(ek, sub(predict_block(base, c, in.w, in.bias), vld1q_f32(in.y + i)));
        std::size_t t = 0;
        for (; t + lanes <= c; t += lanes) {
            float32x4_t g = vld1q_f32(acc + t);
#pragma GCC unroll 4
            for (std::size_t k = 0; k < 4; ++k)
                g = add(g, mul(vdupq_n_f32(ek[k]), vld1q_f32(base + k * c + t)));
            vst1q_f32(acc + t, g);
        }
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            for (std::size_t j = t; j < c; ++j) acc[j] = add_term(acc[j], ek[k], base[k * c + j]);
            gb = add_one(gb, ek[k]);
        }
    }
    acc[c] = gb;
    fold_singles(in, i, hi, acc);
}

void gradient_fold_neon(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    if (c == 0 || c > 16)
        fold_wide(in, lo, hi, acc);
    else
        with_width<16>(c, [&](auto n) { fold_narrow<decltype(n)::value>(in, lo, hi, acc); });
}

void predict_rows_neon(const float* x, std::size_t c, const float* w, float bias, std::size_t lo,
                       std::size_t hi, float* out) {
    std::size_t r = lo;
    auto blocks = [&](auto cols) {
        for (; r + lanes <= hi; r += lanes)
            vst1q_f32(out + r, predict_block(x + r * cols, cols, w, bias));
    };
    // Up to 8 columns the block's loops are unrolled for the width.
    if (c > 0 && c <= 8)
        with_width<8>(c, [&](auto n) { blocks(n); });
    else
        blocks(c);
    for (; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels neon_kernels{"neon", gradient_fold_neon, predict_rows_neon, 0};

}  // namespace

const SolverKernels& detail::solver_kernels_neon() noexcept { return neon_kernels; }

}  // namespace kestrix
