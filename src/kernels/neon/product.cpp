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

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "base/isa.h"
#include "base/order.h"
#include "kernels/neon/blocking.h"
#include "kernels/neon/kernels.h"
#include "kernels/neon/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::neon {
using namespace gemm;
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
            lo[r] = order::add(order::mul_lane<L>(b_lo, av[r]), lo[r]);
            hi[r] = order::add(order::mul_lane<L>(b_hi, av[r]), hi[r]);
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

// ---- few result columns: lanes across rows of the left operand ----------------
//
// Lane r of a vector carries result row r of a block of 4 rows, so each
// result element is one lane's chain of additions, k ascending. A block of
// 4 rows x 4 steps of the left operand is loaded row by row and transposed
// in registers (permutes move bits unchanged); step k then multiplies the
// broadcast weight b[k][j], the first operand, by its column, one
// accumulator per result column.

// Rows [0, live) of c, live <= 4; the lanes of missing rows repeat the last
// row and are not stored.
template <std::size_t N>
void narrow_block(std::size_t live, std::size_t kc, const float* a, std::size_t lda, const float* b,
                  std::size_t ldb, float* c, std::size_t ldc) {
    const float* row[4];
    for (std::size_t r = 0; r < 4; ++r) row[r] = a + std::min(r, live - 1) * lda;
    float32x4_t acc[N];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) acc[j] = vdupq_n_f32(0.0f);
    auto step = [&](const float* bk, float32x4_t column) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j)
            acc[j] = order::add(order::mul(vld1q_dup_f32(bk + j), column), acc[j]);
    };
    std::size_t k = 0;
    for (; k + 4 <= kc; k += 4) {
        float32x4_t x0 = vld1q_f32(row[0] + k), x1 = vld1q_f32(row[1] + k);
        float32x4_t x2 = vld1q_f32(row[2] + k), x3 = vld1q_f32(row[3] + k);
        order::transpose4(x0, x1, x2, x3);
        step(b + k * ldb, x0);
        step(b + (k + 1) * ldb, x1);
        step(b + (k + 2) * ldb, x2);
        step(b + (k + 3) * ldb, x3);
    }
    for (; k < kc; ++k) {
        float32x4_t x = vld1q_dup_f32(row[0] + k);
        x = vld1q_lane_f32(row[1] + k, x, 1);
        x = vld1q_lane_f32(row[2] + k, x, 2);
        x = vld1q_lane_f32(row[3] + k, x, 3);
        step(b + k * ldb, x);
    }
    float lanes[N][4];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < N; ++j) vst1q_f32(lanes[j], acc[j]);
    for (std::size_t r = 0; r < live; ++r)
        for (std::size_t j = 0; j < N; ++j) c[r * ldc + j] = lanes[j][r];
}

template <std::size_t N>
void narrow_kernel(std::size_t rows, std::size_t kc, const float* a, std::size_t lda,
                   const float* b, std::size_t ldb, float* c, std::size_t ldc) {
    for (std::size_t i = 0; i < rows; i += 4)
        narrow_block<N>(std::min<std::size_t>(4, rows - i), kc, a + i * lda, lda, b, ldb,
                        c + i * ldc, ldc);
}

constexpr NarrowKernel narrow[max_narrow_cols] = {
    narrow_kernel<1>, narrow_kernel<2>, narrow_kernel<3>, narrow_kernel<4>,
    narrow_kernel<5>, narrow_kernel<6>, narrow_kernel<7>, narrow_kernel<8>};

// ---- few result rows: the right operand streamed row by row ---------------
//
// The i-k-j order itself over a block of result columns, as the AVX2 stream
// kernels do it: four k steps at a time, each result vector loaded once,
// given its four products k ascending and stored. One vector load of a row
// of the left operand holds those four steps' values, taken lane by lane.
// Reading the right operand's rows in order keeps the prefetchers ahead of a
// product too large for any cache; the result block stays in the first-level
// cache. The last width % 4 columns stay in registers for the whole product,
// one float each: a vector load there would read past the operand's end.

// Steps [k, k + U) for U = 4 (lane u of av[r] is a[r][k + u]) or U = 1
// (lane 0).
template <std::size_t R, std::size_t U>
[[gnu::always_inline]] inline void stream_steps(std::size_t k, const float* a, std::size_t lda,
                                                const float* b, std::size_t ldb, float* c,
                                                std::size_t ldc, std::size_t full,
                                                std::size_t width, float (&edge)[R][3]) {
    float32x4_t av[R];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
        av[r] = U == 4 ? vld1q_f32(a + r * lda + k) : vld1q_dup_f32(a + r * lda + k);
    const float* bk = b + k * ldb;
    for (std::size_t j = 0; j < full; j += 4) {
        if (U > 1 && j % 16 == 0)
#pragma GCC unroll 4
            for (std::size_t u = 0; u < U; ++u) __builtin_prefetch(bk + (2 * U + u) * ldb + j);
        float32x4_t bv[U];
#pragma GCC unroll 4
        for (std::size_t u = 0; u < U; ++u) bv[u] = vld1q_f32(bk + u * ldb + j);
#pragma GCC unroll 4
        for (std::size_t r = 0; r < R; ++r) {
            float32x4_t acc = vld1q_f32(c + r * ldc + j);
            acc = order::add(order::mul_lane<0>(bv[0], av[r]), acc);
            if constexpr (U == 4) {
                acc = order::add(order::mul_lane<1>(bv[1], av[r]), acc);
                acc = order::add(order::mul_lane<2>(bv[2], av[r]), acc);
                acc = order::add(order::mul_lane<3>(bv[3], av[r]), acc);
            }
            vst1q_f32(c + r * ldc + j, acc);
        }
    }
    for (std::size_t t = 0; full + t < width; ++t)
#pragma GCC unroll 4
        for (std::size_t u = 0; u < U; ++u)
#pragma GCC unroll 4
            for (std::size_t r = 0; r < R; ++r)
                edge[r][t] =
                    order::add(order::mul(bk[u * ldb + full + t], a[r * lda + k + u]), edge[r][t]);
}

template <std::size_t R>
void stream_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                   float* c, std::size_t ldc, std::size_t width) {
    const std::size_t full = width / 4 * 4;
    float edge[R][3] = {};
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t j = 0; j < full; j += 4) vst1q_f32(c + r * ldc + j, vdupq_n_f32(0.0f));
    std::size_t k = 0;
    for (; k + 4 <= kc; k += 4) stream_steps<R, 4>(k, a, lda, b, ldb, c, ldc, full, width, edge);
    for (; k < kc; ++k) stream_steps<R, 1>(k, a, lda, b, ldb, c, ldc, full, width, edge);
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t t = 0; full + t < width; ++t) c[r * ldc + full + t] = edge[r][t];
}

constexpr StreamKernel stream[] = {stream_kernel<1>, stream_kernel<2>, stream_kernel<3>,
                                   stream_kernel<4>};

// Nothing fetches ahead: the loop has no slot to spare for it, and the
// cores' prefetchers follow a packed panel.
constexpr ProductKernels set{
    tile_rows,
    tile_cols,
    {kernel<1>, kernel<2>, kernel<3>, kernel<4>, kernel<5>, kernel<6>, kernel<7>, kernel<8>},
    {},  // never fetches
    {},  // no strided kernels
    narrow,
    stream,
    std::size(stream),
    blocking,
    {}};  // no half-width kernels

}  // namespace

const ProductKernels& product() noexcept { return set; }

}  // namespace kestrix::kernels::neon
