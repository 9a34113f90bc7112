// The x86-64 baseline's matrix kernels, in SSE2, which every x86-64
// processor runs: the product micro-kernel, the transpose's 4 x 4 blocks and
// the element maps.
#include <emmintrin.h>

#include "base/order.h"
#include "kernels/sse2/blocking.h"
#include "kernels/sse2/kernels.h"
#include "kernels/sse2/ops.h"

namespace kestrix::kernels::sse2 {
using namespace gemm;
namespace {

// Up to 4 x 8 results in 8 xmm accumulators.
constexpr std::size_t tile_rows = 4;
constexpr std::size_t tile_cols = 8;

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
            lo[r] = order::add(order::mul(b_lo, av), lo[r]);
            hi[r] = order::add(order::mul(b_hi, av), hi[r]);
        }
        b += ldb;
    }
    for (std::size_t r = 0; r < R; ++r) {
        _mm_storeu_ps(c + r * ldc, lo[r]);
        _mm_storeu_ps(c + r * ldc + 4, hi[r]);
    }
}

constexpr ProductKernels product_set{tile_rows,
                                     tile_cols,
                                     {kernel<1, false>, kernel<2, false>, kernel<3, false>,
                                      kernel<4, false>, nullptr, nullptr, nullptr, nullptr},
                                     {kernel<1, true>, kernel<2, true>, kernel<3, true>,
                                      kernel<4, true>, nullptr, nullptr, nullptr, nullptr},
                                     {},  // no strided kernels
                                     nullptr,
                                     nullptr,
                                     0,
                                     blocking,
                                     {}};

}  // namespace

const gemm::ProductKernels& product() noexcept { return product_set; }

void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 4 <= j1; j += 4)
        for (std::size_t i = i0; i + 4 <= i1; i += 4) {
            const float* s = src + i * c + j;
            float* d = dst + j * r + i;
            __m128 r0 = _mm_loadu_ps(s);
            __m128 r1 = _mm_loadu_ps(s + c);
            __m128 r2 = _mm_loadu_ps(s + 2 * c);
            __m128 r3 = _mm_loadu_ps(s + 3 * c);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(d, r0);
            _mm_storeu_ps(d + r, r1);
            _mm_storeu_ps(d + 2 * r, r2);
            _mm_storeu_ps(d + 3 * r, r3);
        }
}

namespace {

template <bool Mul>
[[gnu::always_inline]] inline __m128 op(__m128 x, __m128 v) {
    return Mul ? order::mul(x, v) : order::add(x, v);
}

template <bool Mul>
void map(const float* in, float v, float* out, std::size_t n) {
    const __m128 vv = _mm_set1_ps(v);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, op<Mul>(_mm_loadu_ps(in + i), vv));
    for (; i < n; ++i) out[i] = Mul ? order::mul(in[i], v) : order::add(in[i], v);
}

template <bool Mul>
void map_streaming(const float* in, float v, float* out, std::size_t n) {
    const __m128 vv = _mm_set1_ps(v);
    for (std::size_t i = 0; i < n; i += 4)
        _mm_stream_ps(out + i, op<Mul>(_mm_loadu_ps(in + i), vv));
    _mm_sfence();
}

constexpr ElementMaps set{map<false>, map<true>, map_streaming<false>, map_streaming<true>};

}  // namespace

const ElementMaps& maps() noexcept { return set; }

}  // namespace kestrix::kernels::sse2
