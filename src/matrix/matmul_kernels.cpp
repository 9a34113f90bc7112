#include "matrix/matmul_kernels.h"

#if KESTRIX_X86_VARIANTS
#include <emmintrin.h>
#endif

namespace kestrix::gemm {
namespace {

#if KESTRIX_X86_VARIANTS
// Baseline x86-64 (SSE2): up to 4 x 8 results in 8 xmm accumulators.
constexpr std::size_t tile_rows = 4;
constexpr std::size_t tile_cols = 8;

// b * a with b as the multiply's first operand, as in every variant, then
// product + c with the product first. When both operands are NaN the first one's payload wins, and
// the compiler would otherwise feel free to swap them.
inline __m128 mul(__m128 b, __m128 a) {
    __asm__("mulps %1, %0" : "+x"(b) : "x"(a));
    return b;
}
inline __m128 add_product(__m128 p, __m128 c) {
    __asm__("addps %1, %0" : "+x"(p) : "x"(c));
    return p;
}

template <std::size_t R, bool Fetch>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float* ahead) {
    __m128 lo[R], hi[R];
    for (std::size_t r = 0; r < R; ++r) {
        lo[r] = first ? _mm_setzero_ps() : _mm_loadu_ps(c + r * ldc);
        hi[r] = first ? _mm_setzero_ps() : _mm_loadu_ps(c + r * ldc + 4);
    }
    for (std::size_t k = 0; k < kc; ++k) {
        if constexpr (Fetch)
            if (k % 8 == 0) _mm_prefetch(reinterpret_cast<const char*>(ahead + 2 * k), _MM_HINT_T1);
        __m128 b_lo = _mm_loadu_ps(b);
        __m128 b_hi = _mm_loadu_ps(b + 4);
        for (std::size_t r = 0; r < R; ++r) {
            __m128 av = _mm_set1_ps(a[r * lda + k]);
            lo[r] = add_product(mul(b_lo, av), lo[r]);
            hi[r] = add_product(mul(b_hi, av), hi[r]);
        }
        b += ldb;
    }
    for (std::size_t r = 0; r < R; ++r) {
        _mm_storeu_ps(c + r * ldc, lo[r]);
        _mm_storeu_ps(c + r * ldc + 4, hi[r]);
    }
}
#else
// Elsewhere the baseline is portable code: up to 4 x 8 results, each the same
// chain of separate multiplies and adds over k as in every variant.
constexpr std::size_t tile_rows = 4;
constexpr std::size_t tile_cols = 8;

// The same operand order as above, where the compiler could swap it.
#if defined(__aarch64__)
inline float mul(float b, float a) {
    __asm__("fmul %s0, %s0, %s1" : "+w"(b) : "w"(a));
    return b;
}
inline float add_product(float p, float c) {
    __asm__("fadd %s0, %s0, %s1" : "+w"(p) : "w"(c));
    return p;
}
#else
inline float mul(float b, float a) { return b * a; }
inline float add_product(float p, float c) { return p + c; }
#endif

template <std::size_t R, bool Fetch>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float* ahead) {
    float acc[R][tile_cols];
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t j = 0; j < tile_cols; ++j) acc[r][j] = first ? 0.0f : c[r * ldc + j];
    for (std::size_t k = 0; k < kc; ++k) {
        if constexpr (Fetch)
            if (k % 8 == 0) __builtin_prefetch(ahead + 2 * k, 0, 2);
        for (std::size_t r = 0; r < R; ++r) {
            const float av = a[r * lda + k];
            for (std::size_t j = 0; j < tile_cols; ++j)
                acc[r][j] = add_product(mul(b[j], av), acc[r][j]);
        }
        b += ldb;
    }
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t j = 0; j < tile_cols; ++j) c[r * ldc + j] = acc[r][j];
}
#endif

constexpr KernelSet baseline_set{Isa::baseline,
                                 tile_rows,
                                 tile_cols,
                                 {kernel<1, false>, kernel<2, false>, kernel<3, false>,
                                  kernel<4, false>, nullptr, nullptr, nullptr, nullptr},
                                 {kernel<1, true>, kernel<2, true>, kernel<3, true>,
                                  kernel<4, true>, nullptr, nullptr, nullptr, nullptr},
                                 {},  // no strided kernels
                                 default_unpacked_b_limit,
                                 nullptr,
                                 nullptr};

}  // namespace

const KernelSet& baseline_kernels() noexcept { return baseline_set; }

const KernelSet& kernels_for(Isa isa) noexcept {
    switch (isa) {
#if KESTRIX_X86_VARIANTS
        case Isa::avx512: return avx512_kernels();
        case Isa::avx2: return avx2_kernels();
#endif
#if KESTRIX_NEON_VARIANT
        case Isa::neon: return neon_kernels();
#endif
        default: break;
    }
    return baseline_set;
}

}  // namespace kestrix::gemm
