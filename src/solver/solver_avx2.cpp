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

#include "solver/blocks8.h"
#include "solver/sample_loops.h"
#include "solver/solver_kernels.h"

namespace kestrix {
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

constexpr SolverKernels avx2{"avx2", gradient_fold_avx2, predict_rows_avx2,
                             0x1fffe};  // 1 to 16 columns

}  // namespace

const SolverKernels& detail::solver_kernels_avx2() noexcept { return avx2; }

}  // namespace kestrix
