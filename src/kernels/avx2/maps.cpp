// The element maps in 256-bit vectors, for the AVX2 and AVX-512 variants.
// Only local code here (internal linkage), as in every variant's file.
#include <immintrin.h>

#include "base/isa.h"
#include "base/order.h"
#include "kernels/avx2/kernels.h"
#include "kernels/avx2/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx2),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx2 {
namespace {

template <bool Mul>
[[gnu::always_inline]] inline __m256 op(__m256 x, __m256 v) {
    return Mul ? order::mul(x, v) : order::add(x, v);
}

template <bool Mul>
void map(const float* in, float v, float* out, std::size_t n) {
    const __m256 vv = _mm256_set1_ps(v);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, op<Mul>(_mm256_loadu_ps(in + i), vv));
    for (; i < n; ++i) out[i] = Mul ? order::mul(in[i], v) : order::add(in[i], v);
}

template <bool Mul>
void map_streaming(const float* in, float v, float* out, std::size_t n) {
    const __m256 vv = _mm256_set1_ps(v);
    for (std::size_t i = 0; i < n; i += 8)
        _mm256_stream_ps(out + i, op<Mul>(_mm256_loadu_ps(in + i), vv));
    _mm_sfence();
}

constexpr ElementMaps set{map<false>, map<true>, map_streaming<false>, map_streaming<true>};

}  // namespace

const ElementMaps& maps() noexcept { return set; }

}  // namespace kestrix::kernels::avx2
