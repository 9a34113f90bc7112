// AVX2 micro-kernel: up to 6 x 16 results in 12 ymm accumulators, which with
// the two row vectors, the broadcast and one product fills all 16 registers.
// Only intrinsics and local code here: an inline function from a shared
// header, compiled with these flags, could be picked by the linker for
// callers on processors without AVX2.
#include <immintrin.h>

#include "matrix/dispatch.h"
#include "matrix/matmul_kernels.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx2),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::gemm {
namespace {

constexpr std::size_t tile_rows = 6;
constexpr std::size_t tile_cols = 16;

// b * a with b as the multiply's first operand, as in every variant, then
// product + c with the product first. When both operands are NaN the first one's payload wins, and
// the compiler would otherwise feel free to swap them.
inline __m256 mul(__m256 b, __m256 a) {
    __m256 r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(b), "v"(a));
    return r;
}
inline __m256 add_product(__m256 p, __m256 c) {
    __asm__("vaddps %0, %1, %0" : "+v"(c) : "v"(p));
    return c;
}

// Named accumulators rather than an array: with all 16 registers in use, the
// compiler keeps an array's memory copy up to date inside the loop.
#define KESTRIX_ROWS(X) X(0) X(1) X(2) X(3) X(4) X(5)

// One pointer walks the first row, the other rows sit at fixed byte offsets
// from it, and each turn of the loop takes two steps: two steps cost four
// integer instructions, where the compiler's own addressing spent seven per
// step. Beside 32 vector instructions a step, those overfilled the dispatch
// slots of a Zen 3 core: its inner loop ran 13-15 % slower, whole products
// 3-14 %.
template <std::size_t R>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float*) {
#define KESTRIX_INIT(r)                                              \
    [[maybe_unused]] const std::ptrdiff_t off##r =                   \
        R > (r) ? std::ptrdiff_t((r)*lda * sizeof(float)) : 0;       \
    __m256 lo##r = _mm256_setzero_ps(), hi##r = _mm256_setzero_ps(); \
    if constexpr (R > (r))                                           \
        if (!first) {                                                \
            lo##r = _mm256_loadu_ps(c + (r)*ldc);                    \
            hi##r = _mm256_loadu_ps(c + (r)*ldc + 8);                \
        }
#define KESTRIX_STEP(r)                                                                \
    if constexpr (R > (r)) {                                                           \
        __m256 av = _mm256_broadcast_ss(reinterpret_cast<const float*>(row + off##r)); \
        lo##r = add_product(mul(b_lo, av), lo##r);                                     \
        hi##r = add_product(mul(b_hi, av), hi##r);                                     \
    }
#define KESTRIX_STORE(r)                          \
    if constexpr (R > (r)) {                      \
        _mm256_storeu_ps(c + (r)*ldc, lo##r);     \
        _mm256_storeu_ps(c + (r)*ldc + 8, hi##r); \
    }
    KESTRIX_ROWS(KESTRIX_INIT)
    const char* row = reinterpret_cast<const char*>(a);
    const char* const end = row + kc * sizeof(float);
#pragma GCC unroll 2
    for (; row != end; row += sizeof(float)) {
        __m256 b_lo = _mm256_loadu_ps(b);
        __m256 b_hi = _mm256_loadu_ps(b + 8);
        KESTRIX_ROWS(KESTRIX_STEP)
        b += ldb;
    }
    KESTRIX_ROWS(KESTRIX_STORE)
#undef KESTRIX_INIT
#undef KESTRIX_STEP
#undef KESTRIX_STORE
}
#undef KESTRIX_ROWS

// No fetching variant: on Zen 3 its extra instructions in the loop cost more
// than the fetches saved (products of 256 11 % slower, 1024 and 2048 within
// noise). Right operands of more than 128 x 64 floats are packed: read in
// place at a row stride of 1 KiB, a panel crowds onto 4 of the first-level
// cache's 64 sets and the kernel ran at 72 % of its speed on packed panels;
// products of 128 and 256 ran 17-26 % and 11-19 % faster packed.
constexpr KernelSet set{
    Isa::avx2,
    tile_rows,
    tile_cols,
    {kernel<1>, kernel<2>, kernel<3>, kernel<4>, kernel<5>, kernel<6>, nullptr, nullptr},
    {},  // never fetches
    std::size_t{8} * 1024};

}  // namespace

const KernelSet& avx2_kernels() noexcept { return set; }

}  // namespace kestrix::gemm
