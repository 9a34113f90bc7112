// AVX-512 micro-kernel: up to 8 x 32 results in 16 zmm accumulators. A core
// with two multiply and two add pipes issues two 512-bit multiplies and two
// adds per cycle, so separate multiply and add reach the same peak as a fused
// instruction would; where all three share two pipes they reach half of it,
// the price of rounding each product.
// Only intrinsics and local code here: an inline function from a shared
// header, compiled with these flags, could be picked by the linker for
// callers on processors without AVX-512.
#include <immintrin.h>

#include "base/isa.h"
#include "kernels/avx2/kernels.h"
#include "kernels/avx512/blocking.h"
#include "kernels/avx512/kernels.h"
#include "kernels/avx512/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx512),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx512 {
using namespace gemm;
namespace {

constexpr std::size_t tile_rows = 8;
constexpr std::size_t tile_cols = 32;

// Each row's a is broadcast into a register once per k and serves both
// halves of the row, cheaper than two multiplies taking a from memory as an
// embedded broadcast. The broadcast is the integer one, which some cores run
// as a plain load where vbroadcastss to a zmm register takes the pipes the
// multiplies and adds need.
inline __m512 broadcast(const float* a) {
    __m512 r;
    __asm__("vpbroadcastd %1, %0" : "=v"(r) : "m"(*a));
    return r;
}

// Named accumulators rather than an array: for larger arrays the compiler
// keeps the array's memory copy up to date inside the loop.
#define KESTRIX_ROWS(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7)

template <std::size_t R, bool Fetch>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float* ahead) {
#define KESTRIX_INIT(r)                                              \
    [[maybe_unused]] const float* a##r = R > (r) ? a + (r)*lda : a;  \
    __m512 lo##r = _mm512_setzero_ps(), hi##r = _mm512_setzero_ps(); \
    if constexpr (R > (r))                                           \
        if (!first) {                                                \
            lo##r = _mm512_loadu_ps(c + (r)*ldc);                    \
            hi##r = _mm512_loadu_ps(c + (r)*ldc + 16);               \
        }
#define KESTRIX_STEP(r)                                     \
    if constexpr (R > (r)) {                                \
        __m512 a_##r = broadcast(a##r + k);                 \
        lo##r = order::add(order::mul(b_lo, a_##r), lo##r); \
        hi##r = order::add(order::mul(b_hi, a_##r), hi##r); \
    }
#define KESTRIX_STORE(r)                           \
    if constexpr (R > (r)) {                       \
        _mm512_storeu_ps(c + (r)*ldc, lo##r);      \
        _mm512_storeu_ps(c + (r)*ldc + 16, hi##r); \
    }
    KESTRIX_ROWS(KESTRIX_INIT)
    for (std::size_t k = 0; k < kc; ++k) {
        if constexpr (Fetch)
            if (k % 8 == 0) _mm_prefetch(reinterpret_cast<const char*>(ahead + 2 * k), _MM_HINT_T1);
        __m512 b_lo = _mm512_loadu_ps(b);
        __m512 b_hi = _mm512_loadu_ps(b + 16);
        KESTRIX_ROWS(KESTRIX_STEP)
        b += ldb;
    }
    KESTRIX_ROWS(KESTRIX_STORE)
#undef KESTRIX_INIT
#undef KESTRIX_STEP
#undef KESTRIX_STORE
}
#undef KESTRIX_ROWS

constexpr ProductKernels set{
    tile_rows,
    tile_cols,
    {kernel<1, false>, kernel<2, false>, kernel<3, false>, kernel<4, false>, kernel<5, false>,
     kernel<6, false>, kernel<7, false>, kernel<8, false>},
    {kernel<1, true>, kernel<2, true>, kernel<3, true>, kernel<4, true>, kernel<5, true>,
     kernel<6, true>, kernel<7, true>, kernel<8, true>},
    {},  // no strided kernels
    avx2::narrow,
    avx2::stream,
    blocking};

}  // namespace

const ProductKernels& product() noexcept { return set; }

}  // namespace kestrix::kernels::avx512
