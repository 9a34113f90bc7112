// AVX-512 solver kernels. Built with the AVX-512 variant's flags; reached
// only on processors that run them all. Everything here has internal linkage so that no code
// compiled for AVX-512 can be picked by the linker for a baseline caller.
//
// Samples go in blocks of consecutive rows (16 in 512-bit registers, or 8
// in 256-bit ones for rows of at most 8 columns, which shuffle faster that
// way). A block is loaded row by row and transposed in registers (shuffles
// move bits unchanged), so that lane k carries sample k's prediction chain,
// columns ascending: independent chains share each instruction. The gradient
// then adds the block's terms sample by sample in ascending order, one vector
// over the columns per sample. Gathers would do the same transposition but
// cost far more here.
// GCC 12 takes the deliberately undefined pass-through operand of the 512-bit
// unpack intrinsics for an uninitialised variable once the ordered arithmetic's
// asm keeps the transposed rows live; the operand is never read.
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <type_traits>
#include <utility>

#include "base/isa.h"
#include "kernels/avx2/blocks8.h"
#include "kernels/avx512/kernels.h"
#include "kernels/avx512/ops.h"
#include "kernels/avx512/transpose16.h"
#include "kernels/sample_loops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx512),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx512 {
namespace {

constexpr std::size_t lanes = 16;

__mmask16 low_lanes(std::size_t n) { return static_cast<__mmask16>((1u << n) - 1u); }

// Columns [0, C) of one row; the lanes above are zero.
template <int C>
__m512 load_cols(const float* row) {
    if constexpr (C == 16)
        return _mm512_loadu_ps(row);
    else
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << C) - 1u), row);
}

// Lane k: p + w[0] * x[k][0] + ... + w[C - 1] * x[k][C - 1], columns
// ascending, for the 16 rows of a block that start at base, stride apart.
template <int C>
__m512 add_columns(__m512 p, const float* base, std::size_t stride, const float* w) {
    __m512 r[16], t[16];
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) r[k] = load_cols<C>(base + k * stride);
    transpose16(r, t);
#pragma GCC unroll 16
    for (int j = 0; j < C; ++j) p = order::add(p, order::mul(_mm512_set1_ps(w[j]), t[j]));
    return p;
}

// Lane k: the prediction of row k of the block at base (c columns).
__m512 predict_block(const float* base, std::size_t c, const float* w, float bias) {
    __m512 p = _mm512_set1_ps(bias);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes) p = add_columns<16>(p, base + t, c, w + t);
    if (t < c)
        with_width<16>(c - t,
                       [&](auto n) { p = add_columns<decltype(n)::value>(p, base + t, c, w + t); });
    return p;
}

// Rows of 9 to 16 columns: the gradient sums stay in one register, so the
// chain from one sample to the next is a single vector addition.
template <int C>
void gradient_fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const __mmask16 m = low_lanes(C);
    auto errors = [&](std::size_t i) {
        __m512 p = add_columns<C>(_mm512_set1_ps(in.bias), in.x + i * C, C, in.w);
        return _mm512_sub_ps(p, _mm512_loadu_ps(in.y + i));
    };
    // Below 16 columns, lane C carries the bias sum: its row lane reads 1.0,
    // and e * 1.0 is e exactly.
    constexpr bool bias_lane = C < 16;
    const __mmask16 mb = low_lanes(bias_lane ? C + 1 : C);
    const __m512 ones = _mm512_set1_ps(1.0f);
    __m512 gw = _mm512_maskz_loadu_ps(mb, acc);
    float gb = acc[C];
    std::size_t i = lo;
    // Errors are stored one block ahead, in two buffers, so that reading a
    // block's errors never waits for the store behind the previous sums.
    alignas(64) float e[2][16];
    auto add_sample = [&](const float* row, float ek) {
        __m512 r;
        if constexpr (bias_lane) {
            r = _mm512_mask_loadu_ps(ones, m, row);
        } else {
            // Loaded afresh: the compiler would otherwise keep the block's
            // rows from the previous transpose, spilled, and the pass ran
            // 1.7 times as long.
            __asm__("vmovups %1, %0" : "=v"(r) : "m"(*reinterpret_cast<const float(*)[16]>(row)));
        }
        gw = order::add(gw, order::mul(_mm512_set1_ps(ek), r));
        if constexpr (!bias_lane) gb = order::add(gb, ek);
    };
    std::size_t b = 0;
    if (i + lanes <= hi) _mm512_store_ps(e[0], errors(i));
    // The next block's prediction chain advances in step with this block's
    // sum chain: two independent chains for the core to overlap.
    for (; i + 2 * lanes <= hi; i += lanes, b ^= 1) {
        const float* base = in.x + i * C;
        __m512 r[16], t[16];
#pragma GCC unroll 16
        for (int k = 0; k < 16; ++k) r[k] = load_cols<C>(base + (lanes + k) * C);
        transpose16(r, t);
        __m512 p = _mm512_set1_ps(in.bias);
#pragma GCC unroll 16
        for (int k = 0; k < 16; ++k) {
            if (k < C) p = order::add(p, order::mul(_mm512_set1_ps(in.w[k]), t[k]));
            add_sample(base + k * std::size_t{C}, e[b][k]);
        }
        _mm512_store_ps(e[b ^ 1], _mm512_sub_ps(p, _mm512_loadu_ps(in.y + i + lanes)));
    }
    if (i + lanes <= hi) {
        const float* base = in.x + i * C;
#pragma GCC unroll 16
        for (int k = 0; k < 16; ++k) add_sample(base + k * std::size_t{C}, e[b][k]);
        i += lanes;
    }
    // The samples after the last block, each prediction alone.
    for (; i < hi; ++i) {
        const float* row = in.x + i * C;
        add_sample(row, predict_one(row, C, in.w, in.bias) - in.y[i]);
    }
    _mm512_mask_storeu_ps(acc, mb, gw);
    if constexpr (!bias_lane) acc[C] = gb;
}

// Wider rows: the sums go through memory, one 16-column slice at a time;
// within a slice the block's samples still add in ascending order.
void gradient_fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    float gb = acc[c];
    std::size_t i = lo;
    for (; i + lanes <= hi; i += lanes) {
        const float* base = in.x + i * c;
        alignas(64) float e[16];
        _mm512_store_ps(
            e, _mm512_sub_ps(predict_block(base, c, in.w, in.bias), _mm512_loadu_ps(in.y + i)));
        for (std::size_t t = 0; t < c; t += lanes) {
            const __mmask16 m = t + lanes <= c ? __mmask16(0xffff) : low_lanes(c - t);
            __m512 g = _mm512_maskz_loadu_ps(m, acc + t);
#pragma GCC unroll 16
            for (std::size_t k = 0; k < 16; ++k)
                g = order::add(g, order::mul(_mm512_set1_ps(e[k]),
                                             _mm512_maskz_loadu_ps(m, base + k * c + t)));
            _mm512_mask_storeu_ps(acc + t, m, g);
        }
#pragma GCC unroll 16
        for (float ek : e) gb = order::add(gb, ek);
    }
    gradient_tail(in, i, hi, acc, gb);
    acc[c] = gb;
}

void gradient_fold_avx512(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    if (c == 0) {
        float gb = acc[0];
        gradient_tail(in, lo, hi, acc, gb);
        acc[0] = gb;
    } else if (c <= lanes) {
        with_width<16>(c, [&](auto n) {
            constexpr int C = decltype(n)::value;
            if constexpr (C <= 8)
                gradient_fold_narrow8<C, Panels::none>(in, lo, hi, acc);
            else
                gradient_fold_narrow<C>(in, lo, hi, acc);
        });
    } else {
        gradient_fold_wide(in, lo, hi, acc);
    }
}

void predict_rows_avx512(const float* x, std::size_t c, const float* w, float bias, std::size_t lo,
                         std::size_t hi, float* out) {
    std::size_t r = lo;
    if (c > lanes) {
        for (; r + lanes <= hi; r += lanes)
            _mm512_storeu_ps(out + r, predict_block(x + r * c, c, w, bias));
    } else if (c > 0) {
        with_width<16>(c, [&](auto n) {
            constexpr int C = decltype(n)::value;
            if constexpr (C <= 8) {
                for (; r + 8 <= hi; r += 8)
                    _mm256_storeu_ps(out + r,
                                     add_columns8<C>(_mm256_set1_ps(bias), x + r * C, C, w));
            } else {
                for (; r + lanes <= hi; r += lanes)
                    _mm512_storeu_ps(out + r,
                                     add_columns<C>(_mm512_set1_ps(bias), x + r * C, C, w));
            }
        });
    }
    for (; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels avx512{"avx512", gradient_fold_avx512, predict_rows_avx512, 0};

}  // namespace

const SolverKernels& solver() noexcept { return avx512; }

}  // namespace kestrix::kernels::avx512
