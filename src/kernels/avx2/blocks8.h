#pragma once
// Blocks of 8 consecutive samples in 256-bit registers, shared by the AVX2
// kernels and by the AVX-512 ones for rows of at most 8 columns (which
// shuffle faster that way). Include only from files built for AVX2 or wider:
// everything here has internal linkage, so each copy keeps to its own
// file's instructions and none is picked by the linker for another caller.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "kernels/avx2/ops.h"
#include "kernels/avx2/transpose8.h"
#include "kernels/sample_loops.h"
#include "kernels/solver.h"

namespace kestrix {
namespace {

// All bits set in lanes below n (n <= 8), for the masked loads and stores.
__m256i low_lanes8(std::size_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Columns [0, C) of one row; the lanes above are zero.
template <int C>
__m256 load_cols8(const float* row, __m256i m) {
    if constexpr (C == 8)
        return _mm256_loadu_ps(row);
    else
        return _mm256_maskload_ps(row, m);
}

// Lane k: p + w[0] * x[k][0] + ... + w[C - 1] * x[k][C - 1], columns
// ascending, for the 8 rows of a block that start at base, stride apart.
// With keep, the transposed columns are also stored at keep + 8 * j.
template <int C>
[[gnu::always_inline]] inline __m256 add_columns8(__m256 p, const float* base, std::size_t stride,
                                                  const float* w, float* keep = nullptr) {
    const __m256i m = low_lanes8(C);
    __m256 r[8], t[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) r[k] = load_cols8<C>(base + k * stride, m);
    transpose8(r, t);
    if (keep)
#pragma GCC unroll 8
        for (std::size_t j = 0; j < C; ++j) _mm256_store_ps(keep + 8 * j, t[j]);
#pragma GCC unroll 8
    for (int j = 0; j < C; ++j) p = order::add(p, order::mul(_mm256_set1_ps(w[j]), t[j]));
    return p;
}

// The same from a block's panel (see GradientInput), whose columns need no
// shuffles: the two transposes of a 16-column block are a large share of a
// pass.
template <int C>
[[gnu::always_inline]] inline __m256 add_panel_columns8(__m256 p, const float* panel,
                                                        const float* w) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < C; ++j)
        p = order::add(p, order::mul(_mm256_set1_ps(w[j]), _mm256_load_ps(panel + 8 * j)));
    return p;
}

// Stores sample k (C columns at row) into its block's panel.
template <int C>
void keep_sample(float* panels, std::size_t k, const float* row) {
    float* dst = panels + k / 8 * 8 * C + k % 8;
    for (std::size_t j = 0; j < C; ++j) dst[8 * j] = row[j];
}

// How a pass uses the panels (see GradientInput): not at all, filling them
// with the columns it transposes, or reading them instead of x.
enum class Panels { none, fill, read };

// Calls f(std::integral_constant<Panels, mode>) with this pass's mode, so
// that each mode's loop is compiled without the others' branches.
template <class F>
void with_panels(const GradientInput& in, F&& f) {
    if (!in.panels)
        f(std::integral_constant<Panels, Panels::none>{});
    else if (in.panels_ready)
        f(std::integral_constant<Panels, Panels::read>{});
    else
        f(std::integral_constant<Panels, Panels::fill>{});
}

// The errors of the block from sample i (a multiple of 8 with panels).
template <int C, Panels P>
[[gnu::always_inline]] inline __m256 block_errors8(const GradientInput& in, std::size_t i) {
    const __m256 b = _mm256_set1_ps(in.bias);
    float* panel = P == Panels::none ? nullptr : in.panels + i * C;
    __m256 p;
    if constexpr (P == Panels::read) {
        p = add_panel_columns8<C>(b, panel, in.w);
    } else if constexpr (C <= 8) {
        p = add_columns8<C>(b, in.x + i * C, C, in.w, panel);
    } else {
        p = add_columns8<8>(b, in.x + i * C, C, in.w, panel);
        p = add_columns8<C - 8>(p, in.x + i * C + 8, C, in.w + 8,
                                P == Panels::fill ? panel + std::size_t{8} * 8 : nullptr);
    }
    return _mm256_sub_ps(p, _mm256_loadu_ps(in.y + i));
}

// With panels, a leaf folds its samples up to the next multiple of 8 one at
// a time, so that its blocks are the panels' blocks; returns where its
// blocks start.
template <Panels P>
std::size_t first_block(std::size_t lo, std::size_t hi) {
    return P == Panels::none ? lo : std::min(hi, (lo + 7) / 8 * 8);
}

// Rows of C <= 8 columns: the gradient sums stay in one register, so the
// chain from one sample to the next is a single vector addition. The errors
// of the next block are formed before this block's sums, so that the
// independent prediction work fills the time the sum chain waits.
template <int C, Panels P>
void gradient_fold_narrow8(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const __m256i m = low_lanes8(C);
    // Below 8 columns, lane C carries the bias sum: its row lane reads 1.0,
    // and e * 1.0 is e exactly.
    constexpr bool bias_lane = C < 8;
    const __m256i mb = low_lanes8(bias_lane ? C + 1 : C);
    const __m256 ones = _mm256_set1_ps(1.0f);
    __m256 gw = _mm256_maskload_ps(acc, mb);
    float gb = acc[C];
    // Two error buffers: a block's errors are stored one block ahead, so
    // reading them never waits for the store behind the previous sums.
    constexpr std::size_t block = 8;
    alignas(32) float e[2][block];
    auto add_sample = [&](const float* row, float ek) {
        __m256 r = load_cols8<C>(row, m);
        if constexpr (bias_lane) r = _mm256_blend_ps(r, ones, 0xff & (0xff << C));
        gw = order::add(gw, order::mul(_mm256_set1_ps(ek), r));
        if constexpr (!bias_lane) gb = order::add(gb, ek);
    };
    constexpr bool fill = P == Panels::fill;
    auto single = [&](std::size_t k) {
        const float* row = in.x + k * C;
        if (fill) keep_sample<C>(in.panels, k, row);
        add_sample(row, predict_one(row, C, in.w, in.bias) - in.y[k]);
    };
    std::size_t i = lo;
    for (const std::size_t start = first_block<P>(lo, hi); i < start; ++i) single(i);
    if (i + block <= hi) _mm256_store_ps(e[0], block_errors8<C, P>(in, i));
    for (std::size_t b = 0; i + block <= hi; i += block, b ^= 1) {
        if (i + 2 * block <= hi) _mm256_store_ps(e[b ^ 1], block_errors8<C, P>(in, i + block));
        const float* base = in.x + i * C;
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) add_sample(base + k * std::size_t{C}, e[b][k]);
    }
    // The samples after the last block: each prediction alone, its terms
    // still added in the register. Small leaves are mostly these.
    for (; i < hi; ++i) single(i);
    _mm256_maskstore_ps(acc, mb, gw);
    if constexpr (!bias_lane) acc[C] = gb;
}

}  // namespace
}  // namespace kestrix
