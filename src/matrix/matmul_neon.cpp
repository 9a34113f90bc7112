// Advanced SIMD micro-kernel: up to 8 x 8 results in 16 accumulators.
//
// The left operand arrives unpacked, a row at a time, so one 128-bit load
// takes four k steps of one row; a multiply by element (`fmul v.4s, b.4s,
// a.s[i]`) then uses lane i for step k + i with the right operand's vector as
// its first operand, as every variant orders it. Eight such row vectors, two
// right-operand vectors, 16 accumulators and the products fill 28 of the 32
// registers. A 12-wide tile would need 24 accumulators beside the eight row
// vectors, more than there are; broadcasting each a value with `ld1r`
// instead costs a vector-pipe slot per row and step on Neoverse cores, which
// the element form avoids.
#include <arm_neon.h>

#include <cstddef>

#include "matrix/dispatch.h"
#include "matrix/matmul_kernels.h"
#include "simd/neon.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::gemm {
namespace {

constexpr std::size_t tile_rows = 8;
constexpr std::size_t tile_cols = 8;

template <std::size_t R>
struct Tile {
    float32x4_t lo[R], hi[R];

    // One k step: the right operand's row b times lane L of each row vector,
    // product first in the sum.
    template <int L>
    [[gnu::always_inline]] void step(const float* b, const float32x4_t (&av)[R]) {
        const float32x4_t b_lo = vld1q_f32(b), b_hi = vld1q_f32(b + 4);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            lo[r] = neon::add(neon::mul_lane<L>(b_lo, av[r]), lo[r]);
            hi[r] = neon::add(neon::mul_lane<L>(b_hi, av[r]), hi[r]);
        }
    }
};

template <std::size_t R>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float*) {
    Tile<R> t;
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        t.lo[r] = first ? vdupq_n_f32(0.0f) : vld1q_f32(c + r * ldc);
        t.hi[r] = first ? vdupq_n_f32(0.0f) : vld1q_f32(c + r * ldc + 4);
    }
    std::size_t k = 0;
    for (; k + 4 <= kc; k += 4) {
        float32x4_t av[R];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) av[r] = vld1q_f32(a + r * lda + k);
        t.template step<0>(b, av);
        t.template step<1>(b + ldb, av);
        t.template step<2>(b + 2 * ldb, av);
        t.template step<3>(b + 3 * ldb, av);
        b += 4 * ldb;
    }
    // The last steps, fewer than four, one a value each in lane 0.
    for (; k < kc; ++k) {
        float32x4_t av[R];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) av[r] = vld1q_dup_f32(a + r * lda + k);
        t.template step<0>(b, av);
        b += ldb;
    }
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        vst1q_f32(c + r * ldc, t.lo[r]);
        vst1q_f32(c + r * ldc + 4, t.hi[r]);
    }
}

// Nothing fetches ahead: the loop has no slot to spare for it, and the
// cores' prefetchers follow a packed panel. A right operand of up to 32 KiB
// is read in place: half the 64 KiB first-level cache of Neoverse cores.
constexpr KernelSet set{
    Isa::neon,
    tile_rows,
    tile_cols,
    {kernel<1>, kernel<2>, kernel<3>, kernel<4>, kernel<5>, kernel<6>, kernel<7>, kernel<8>},
    {},  // never fetches
    {},  // no strided kernels
    std::size_t{8} * 1024,
    nullptr,
    nullptr};

}  // namespace

const KernelSet& neon_kernels() noexcept { return set; }

}  // namespace kestrix::gemm
