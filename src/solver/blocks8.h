#pragma once
// Blocks of 8 consecutive samples in 256-bit registers, shared by the AVX2
// kernels and by the AVX-512 ones for rows of at most 8 columns (which
// shuffle faster that way). Include only from files built for AVX2 or wider:
// everything here has internal linkage, so each copy keeps to its own
// file's instructions and none is picked by the linker for another caller.
#include <immintrin.h>

#include <cstddef>

#include "solver/sample_loops.h"
#include "solver/solver_kernels.h"

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

// t[j] lane k = r[k] lane j.
inline void transpose8(const __m256 r[8], __m256 t[8]) {
    __m256 a[8], b[8];
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
        a[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        a[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    // b[4q + s], 128-bit lane L: rows 4q .. 4q + 3 of column 4L + s.
#pragma GCC unroll 2
    for (int q = 0; q < 8; q += 4) {
        b[q] = _mm256_shuffle_ps(a[q], a[q + 2], 0x44);
        b[q + 1] = _mm256_shuffle_ps(a[q], a[q + 2], 0xee);
        b[q + 2] = _mm256_shuffle_ps(a[q + 1], a[q + 3], 0x44);
        b[q + 3] = _mm256_shuffle_ps(a[q + 1], a[q + 3], 0xee);
    }
#pragma GCC unroll 4
    for (int s = 0; s < 4; ++s) {
        t[s] = _mm256_permute2f128_ps(b[s], b[4 + s], 0x20);
        t[4 + s] = _mm256_permute2f128_ps(b[s], b[4 + s], 0x31);
    }
}

// Lane k: p + w[0] * x[k][0] + ... + w[C - 1] * x[k][C - 1], columns
// ascending, for the 8 rows of a block that start at base, stride apart.
template <int C>
__m256 add_columns8(__m256 p, const float* base, std::size_t stride, const float* w) {
    const __m256i m = low_lanes8(C);
    __m256 r[8], t[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) r[k] = load_cols8<C>(base + k * stride, m);
    transpose8(r, t);
#pragma GCC unroll 8
    for (int j = 0; j < C; ++j) p = _mm256_add_ps(p, _mm256_mul_ps(_mm256_set1_ps(w[j]), t[j]));
    return p;
}

// Rows of C <= 8 columns: the gradient sums stay in one register, so the
// chain from one sample to the next is a single vector addition. The errors
// of the next block are formed before this block's sums, so that the
// independent prediction work fills the time the sum chain waits.
template <int C>
void gradient_fold_narrow8(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const __m256i m = low_lanes8(C);
    auto errors = [&](std::size_t i) {
        __m256 p = add_columns8<C>(_mm256_set1_ps(in.bias), in.x + i * C, C, in.w);
        return _mm256_sub_ps(p, _mm256_loadu_ps(in.y + i));
    };
    // Below 8 columns, lane C carries the bias sum: its row lane reads 1.0,
    // and e * 1.0 is e exactly.
    constexpr bool bias_lane = C < 8;
    const __m256i mb = low_lanes8(bias_lane ? C + 1 : C);
    const __m256 ones = _mm256_set1_ps(1.0f);
    __m256 gw = _mm256_maskload_ps(acc, mb);
    float gb = acc[C];
    std::size_t i = lo;
    // Two error buffers: a block's errors are stored one block ahead, so
    // reading them never waits for the store behind the previous sums.
    constexpr std::size_t block = 8;
    alignas(32) float e[2][block];
    auto add_sample = [&](const float* row, float ek) {
        __m256 r = load_cols8<C>(row, m);
        if constexpr (bias_lane) r = _mm256_blend_ps(r, ones, 0xff & (0xff << C));
        gw = _mm256_add_ps(gw, _mm256_mul_ps(_mm256_set1_ps(ek), r));
        if constexpr (!bias_lane) gb = gb + ek;
    };
    if (i + block <= hi) _mm256_store_ps(e[0], errors(i));
    for (std::size_t b = 0; i + block <= hi; i += block, b ^= 1) {
        if (i + 2 * block <= hi) _mm256_store_ps(e[b ^ 1], errors(i + block));
        const float* base = in.x + i * C;
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) add_sample(base + k * std::size_t{C}, e[b][k]);
    }
    // The samples after the last block: each prediction alone, its terms
    // still added in the register. Small leaves are mostly these.
    for (; i < hi; ++i) {
        const float* row = in.x + i * C;
        add_sample(row, predict_one(row, C, in.w, in.bias) - in.y[i]);
    }
    _mm256_maskstore_ps(acc, mb, gw);
    if constexpr (!bias_lane) acc[C] = gb;
}

}  // namespace
}  // namespace kestrix
