// AVX2 solver kernels. Built with the AVX2 variant's flags; reached only on
// processors that run them. Everything here has internal linkage so that no code compiled
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

#include "base/isa.h"
#include "kernels/avx2/blocks8.h"
#include "kernels/avx2/kernels.h"
#include "kernels/sample_loops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx2),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx2 {
namespace {

constexpr std::size_t lanes = 8;

// Lane k: the prediction of row k of the block at base (c columns).
__m256 predict_block(const float* base, std::size_t c, const float* w, float bias) {
    __m256 p = _mm256_set1_ps(bias);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes) p = add_columns8<8>(p, base + t, c, w + t);
    if (t < c)
        with_width<8>(c - t,
                      [&](auto n) { p = add_columns8<decltype(n)::value>(p, base + t, c, w + t); });
    return p;
}

// Rows of 9 to 16 columns: the gradient sums stay in two registers
// (columns 0 to 7, then the rest with the bias sum in lane C - 8 below 16
// columns), each still one vector addition per sample.
template <int C, Panels P>
void gradient_fold_pair(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    constexpr int rest = C - 8;
    const __m256i m = low_lanes8(rest);
    constexpr bool fill = P == Panels::fill;
    // Samples [a, b) one at a time, through memory.
    auto singles = [&](std::size_t a, std::size_t b) {
        if (fill)
            for (std::size_t k = a; k < b; ++k) keep_sample<C>(in.panels, k, in.x + k * C);
        float gb = acc[C];
        gradient_tail(in, a, b, acc, gb);
        acc[C] = gb;
    };
    std::size_t i = first_block<P>(lo, hi);
    singles(lo, i);
    constexpr bool bias_lane = rest < 8;
    const __m256i mb = low_lanes8(bias_lane ? rest + 1 : rest);
    const __m256 ones = _mm256_set1_ps(1.0f);
    __m256 gw0 = _mm256_loadu_ps(acc);
    __m256 gw1 = _mm256_maskload_ps(acc + 8, mb);
    float gb = acc[C];
    alignas(32) float e[2][8];
    if (i + lanes <= hi) _mm256_store_ps(e[0], block_errors8<C, P>(in, i));
    for (std::size_t b = 0; i + lanes <= hi; i += lanes, b ^= 1) {
        if (i + 2 * lanes <= hi) _mm256_store_ps(e[b ^ 1], block_errors8<C, P>(in, i + lanes));
        const float* base = in.x + i * C;
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            const __m256 ek = _mm256_set1_ps(e[b][k]);
            __m256 row = load_cols8<rest>(base + k * std::size_t{C} + 8, m);
            if constexpr (bias_lane) row = _mm256_blend_ps(row, ones, 0xff & (0xff << rest));
            gw0 = order::add(gw0, order::mul(ek, _mm256_loadu_ps(base + k * std::size_t{C})));
            gw1 = order::add(gw1, order::mul(ek, row));
            if constexpr (!bias_lane) gb = order::add(gb, e[b][k]);
        }
    }
    _mm256_storeu_ps(acc, gw0);
    _mm256_maskstore_ps(acc + 8, mb, gw1);
    if constexpr (!bias_lane) acc[C] = gb;
    singles(i, hi);
}

// Wider rows: the sums go through memory, one 8-column slice at a time;
// within a slice the block's samples still add in ascending order.
void gradient_fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    const __m256i tail = low_lanes8(c % lanes);
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
                g = order::add(g,
                               order::mul(_mm256_set1_ps(e[k]), _mm256_loadu_ps(base + k * c + t)));
            _mm256_storeu_ps(acc + t, g);
        }
        if (t < c) {
            __m256 g = _mm256_maskload_ps(acc + t, tail);
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k)
                g = order::add(g, order::mul(_mm256_set1_ps(e[k]),
                                             _mm256_maskload_ps(base + k * c + t, tail)));
            _mm256_maskstore_ps(acc + t, tail, g);
        }
#pragma GCC unroll 8
        for (float ek : e) gb = order::add(gb, ek);
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
        with_panels(in, [&](auto p) {
            with_width<8>(c, [&](auto n) {
                gradient_fold_narrow8<decltype(n)::value, decltype(p)::value>(in, lo, hi, acc);
            });
        });
    } else if (c <= 2 * lanes) {
        with_panels(in, [&](auto p) {
            with_width<16>(c, [&](auto n) {
                if constexpr (decltype(n)::value > 8)
                    gradient_fold_pair<decltype(n)::value, decltype(p)::value>(in, lo, hi, acc);
            });
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
                _mm256_storeu_ps(out + r, add_columns8<C>(_mm256_set1_ps(bias), x + r * C, C, w));
        });
    }
    for (; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels avx2{"avx2", gradient_fold_avx2, predict_rows_avx2, 16};

}  // namespace

const SolverKernels& solver() noexcept { return avx2; }

}  // namespace kestrix::kernels::avx2
