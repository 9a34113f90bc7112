// AVX2 solver kernels. Built with -mavx2; reached only on processors that
// report it. Everything here has internal linkage so that no code compiled
// for AVX2 can be picked by the linker for a baseline caller.
//
// Samples go in blocks of 8 consecutive rows. The block is loaded row by
// row and transposed in registers (shuffles move bits unchanged), so that
// lane k carries sample k's prediction chain, columns ascending: 8
// independent chains share each instruction. The gradient then adds the 8
// samples' terms in ascending order, one vector over the columns per sample.
// Gathers would do the same transposition but cost far more.
#include <immintrin.h>

#include <type_traits>
#include <utility>

#include "solver/sample_loops.h"
#include "solver/solver_kernels.h"

namespace kestrix {
namespace {

constexpr std::size_t lanes = 8;

// All bits set in lanes below n (n <= 8), for the masked loads and stores.
__m256i low_lanes(std::size_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Columns [0, C) of one row; the lanes above are zero.
template <int C>
__m256 load_cols(const float* row, __m256i m) {
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
__m256 add_columns(__m256 p, const float* base, std::size_t stride, const float* w) {
    const __m256i m = low_lanes(C);
    __m256 r[8], t[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) r[k] = load_cols<C>(base + k * stride, m);
    transpose8(r, t);
#pragma GCC unroll 8
    for (int j = 0; j < C; ++j) p = _mm256_add_ps(p, _mm256_mul_ps(_mm256_set1_ps(w[j]), t[j]));
    return p;
}

// Lane k: the prediction of row k of the block at base (c columns).
__m256 predict_block(const float* base, std::size_t c, const float* w, float bias) {
    __m256 p = _mm256_set1_ps(bias);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes) p = add_columns<8>(p, base + t, c, w + t);
    if (t < c)
        with_width<8>(c - t,
                      [&](auto n) { p = add_columns<decltype(n)::value>(p, base + t, c, w + t); });
    return p;
}

// Rows of C <= 8 columns: the gradient sums stay in one register, so the
// chain from one sample to the next is a single vector addition. The errors
// of the next block are formed before this block's sums, so that the
// independent prediction work fills the time the sum chain waits.
template <int C>
void gradient_fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const __m256i m = low_lanes(C);
    auto errors = [&](std::size_t i) {
        __m256 p = add_columns<C>(_mm256_set1_ps(in.bias), in.x + i * C, C, in.w);
        return _mm256_sub_ps(p, _mm256_loadu_ps(in.y + i));
    };
    // Below 8 columns, lane C carries the bias sum: its row lane reads 1.0,
    // and e * 1.0 is e exactly.
    constexpr bool bias_lane = C < 8;
    const __m256i mb = low_lanes(bias_lane ? C + 1 : C);
    const __m256 ones = _mm256_set1_ps(1.0f);
    __m256 gw = _mm256_maskload_ps(acc, mb);
    float gb = acc[C];
    std::size_t i = lo;
    // Two error buffers: a block's errors are stored one block ahead, so
    // reading them never waits for the store behind the previous sums.
    alignas(32) float e[2][8];
    if (i + lanes <= hi) _mm256_store_ps(e[0], errors(i));
    for (std::size_t b = 0; i + lanes <= hi; i += lanes, b ^= 1) {
        if (i + 2 * lanes <= hi) _mm256_store_ps(e[b ^ 1], errors(i + lanes));
        const float* base = in.x + i * C;
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            __m256 row = load_cols<C>(base + k * std::size_t{C}, m);
            if constexpr (bias_lane) row = _mm256_blend_ps(row, ones, 0xff & (0xff << C));
            gw = _mm256_add_ps(gw, _mm256_mul_ps(_mm256_set1_ps(e[b][k]), row));
            if constexpr (!bias_lane) gb = gb + e[b][k];
        }
    }
    _mm256_maskstore_ps(acc, mb, gw);
    if constexpr (bias_lane) gb = acc[C];
    gradient_tail(in, i, hi, acc, gb);
    acc[C] = gb;
}

// Rows of 9 to 16 columns: the gradient sums stay in two registers
// (columns 0 to 7, then the rest with the bias sum in lane C - 8 below 16
// columns), each still one vector addition per sample.
template <int C>
void gradient_fold_pair(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    constexpr int rest = C - 8;
    const __m256i m = low_lanes(rest);
    auto errors = [&](std::size_t i) {
        const float* base = in.x + i * C;
        __m256 p = add_columns<8>(_mm256_set1_ps(in.bias), base, C, in.w);
        p = add_columns<rest>(p, base + 8, C, in.w + 8);
        return _mm256_sub_ps(p, _mm256_loadu_ps(in.y + i));
    };
    constexpr bool bias_lane = rest < 8;
    const __m256i mb = low_lanes(bias_lane ? rest + 1 : rest);
    const __m256 ones = _mm256_set1_ps(1.0f);
    __m256 gw0 = _mm256_loadu_ps(acc);
    __m256 gw1 = _mm256_maskload_ps(acc + 8, mb);
    float gb = acc[C];
    std::size_t i = lo;
    alignas(32) float e[2][8];
    if (i + lanes <= hi) _mm256_store_ps(e[0], errors(i));
    for (std::size_t b = 0; i + lanes <= hi; i += lanes, b ^= 1) {
        if (i + 2 * lanes <= hi) _mm256_store_ps(e[b ^ 1], errors(i + lanes));
        const float* base = in.x + i * C;
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            const __m256 ek = _mm256_set1_ps(e[b][k]);
            __m256 row = load_cols<rest>(base + k * std::size_t{C} + 8, m);
            if constexpr (bias_lane) row = _mm256_blend_ps(row, ones, 0xff & (0xff << rest));
            gw0 = _mm256_add_ps(gw0, _mm256_mul_ps(ek, _mm256_loadu_ps(base + k * std::size_t{C})));
            gw1 = _mm256_add_ps(gw1, _mm256_mul_ps(ek, row));
            if constexpr (!bias_lane) gb = gb + e[b][k];
        }
    }
    _mm256_storeu_ps(acc, gw0);
    _mm256_maskstore_ps(acc + 8, mb, gw1);
    if constexpr (bias_lane) gb = acc[C];
    gradient_tail(in, i, hi, acc, gb);
    acc[C] = gb;
}

// Wider rows: the sums go through memory, one 8-column slice at a time;
// within a slice the block's samples still add in ascending order.
void gradient_fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    const __m256i tail = low_lanes(c % lanes);
    float gb = acc[c];
    std::size_t i = lo;
    for (; i + lanes <= hi; i += lanes) {
        const float* base = in.x + i * c;
        alignas(32) float e[8];
        _mm256_store_ps(
            e, _mm256_sub_ps(predict_block(base, c, in.w, in.bias), _mm256_loadu_ps(in.y + i)));
        std::size_t t = 0;
        for (; t + lanes <= c; t += lanes) {
            __m256 g = _mm256_loadu_ps(acc + t);
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k)
                g = _mm256_add_ps(
                    g, _mm256_mul_ps(_mm256_set1_ps(e[k]), _mm256_loadu_ps(base + k * c + t)));
            _mm256_storeu_ps(acc + t, g);
        }
        if (t < c) {
            __m256 g = _mm256_maskload_ps(acc + t, tail);
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k)
                g = _mm256_add_ps(g, _mm256_mul_ps(_mm256_set1_ps(e[k]),
                                                   _mm256_maskload_ps(base + k * c + t, tail)));
            _mm256_maskstore_ps(acc + t, tail, g);
        }
#pragma GCC unroll 8
        for (float ek : e) gb = gb + ek;
    }
    gradient_tail(in, i, hi, acc, gb);
    acc[c] = gb;
}

void gradient_fold_avx2(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    if (c == 0) {
        float gb = acc[0];
        gradient_tail(in, lo, hi, acc, gb);
        acc[0] = gb;
    } else if (c <= lanes) {
        with_width<8>(c,
                      [&](auto n) { gradient_fold_narrow<decltype(n)::value>(in, lo, hi, acc); });
    } else if (c <= 2 * lanes) {
        with_width<16>(c, [&](auto n) {
            if constexpr (decltype(n)::value > 8)
                gradient_fold_pair<decltype(n)::value>(in, lo, hi, acc);
        });
    } else {
        gradient_fold_wide(in, lo, hi, acc);
    }
}

void predict_rows_avx2(const float* x, std::size_t c, const float* w, float bias, std::size_t lo,
                       std::size_t hi, float* out) {
    std::size_t r = lo;
    if (c > lanes) {
        for (; r + lanes <= hi; r += lanes)
            _mm256_storeu_ps(out + r, predict_block(x + r * c, c, w, bias));
    } else if (c > 0) {
        with_width<8>(c, [&](auto n) {
            constexpr int C = decltype(n)::value;
            for (; r + lanes <= hi; r += lanes)
                _mm256_storeu_ps(out + r, add_columns<C>(_mm256_set1_ps(bias), x + r * C, C, w));
        });
    }
    for (; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels avx2{"avx2", gradient_fold_avx2, predict_rows_avx2};

}  // namespace

const SolverKernels& detail::solver_kernels_avx2() noexcept { return avx2; }

}  // namespace kestrix
