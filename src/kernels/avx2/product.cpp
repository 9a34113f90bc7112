// AVX2 micro-kernel: up to 6 x 16 results in 12 ymm accumulators, which with
// the two row vectors, the broadcast and one product fills all 16 registers.
// Only intrinsics and local code here (shared headers' code has internal
// linkage): an inline function with external linkage, compiled with these
// flags, could be picked by the linker for callers on processors without AVX2.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/isa.h"
#include "kernels/avx2/blocking.h"
#include "kernels/avx2/kernels.h"
#include "kernels/avx2/ops.h"
#include "kernels/avx2/transpose8.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx2),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx2 {
using namespace gemm;
namespace {

constexpr std::size_t tile_rows = 6;
constexpr std::size_t tile_cols = 16;

// Named accumulators rather than an array: with all 16 registers in use, the
// compiler keeps an array's memory copy up to date inside the loop.
#define KESTRIX_ROWS(X) X(0) X(1) X(2) X(3) X(4) X(5)

// One pointer walks the first row, the other rows sit at fixed byte offsets
// from it, and each turn of the loop takes two steps: two steps cost four
// integer instructions, where the compiler's own addressing spent seven per
// step. Beside 32 vector instructions a step, those overfill the dispatch
// slots of cores that decode as many instructions a cycle as they retire.
//
// A strided kernel also fetches, each step, the right operand's row
// strided_ahead steps on: read in place at a large stride, every row lies in
// a page of its own, where no hardware prefetcher follows, and the misses
// would otherwise wait one after another. A fetch never faults, so the
// address past the operand's end is formed as an integer.
constexpr std::size_t strided_ahead = 48;

template <std::size_t R, bool Strided>
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
        lo##r = order::add(order::mul(b_lo, av), lo##r);                               \
        hi##r = order::add(order::mul(b_hi, av), hi##r);                               \
    }
#define KESTRIX_STORE(r)                          \
    if constexpr (R > (r)) {                      \
        _mm256_storeu_ps(c + (r)*ldc, lo##r);     \
        _mm256_storeu_ps(c + (r)*ldc + 8, hi##r); \
    }
    KESTRIX_ROWS(KESTRIX_INIT)
    const char* row = reinterpret_cast<const char*>(a);
    const char* const end = row + kc * sizeof(float);
    [[maybe_unused]] const std::uintptr_t ahead = strided_ahead * ldb * sizeof(float);
#pragma GCC unroll 2
    for (; row != end; row += sizeof(float)) {
        if constexpr (Strided) {
            const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(b) + ahead;
            // NOLINTBEGIN(performance-no-int-to-ptr): the address may lie past the operand
            _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(at + 15 * sizeof(float)), _MM_HINT_T0);
            // NOLINTEND(performance-no-int-to-ptr)
        }
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

}  // namespace
}  // namespace kestrix::kernels::avx2

namespace kestrix::kernels::avx2 {
namespace {

// ---- few result columns: lanes across rows of the left operand ----------------
//
// Lane r of a vector carries result row r of a block of 8 rows, so each
// result element is one lane's chain of additions, k ascending. A block of
// 8 rows x 8 steps of the left operand is loaded row by row and transposed in
// registers (shuffles move bits unchanged); step k then multiplies its
// column by each of the N weights b[k][j], one accumulator per result column.

__m256i low_lanes(std::size_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Short rows run Blocks blocks of 8 at a time: one block's N chains of
// dependent additions leave the adders idle most of the time for small N
// while the rows come from cache. Long rows run one block at a time: each
// row is a stream of its own, and 32 of them outrun the prefetchers.
template <int N>
constexpr int blocks_for = N == 1   ? 4
                           : N == 2 ? 2
                                    : 1;
constexpr std::size_t short_rows = 32;

// Rows [0, rows) of c, columns [0, N): rows = 8 * Blocks, or for one block
// rows <= 8, the lanes of missing rows repeating the last row, not stored.
template <int N, int Blocks>
[[gnu::always_inline]] inline void narrow_blocks(std::size_t rows, std::size_t kc, const float* a,
                                                 std::size_t lda, const float* b, std::size_t ldb,
                                                 float* c, std::size_t ldc) {
    // Several blocks are whole, their rows at fixed offsets from a: 32
    // pointers of their own would not stay in registers.
    const float* row[8];
    for (int r = 0; r < 8; ++r) row[r] = a + std::min<std::size_t>(r, rows - 1) * lda;
    auto at = [&](int q, int r) {
        return Blocks > 1 ? a + static_cast<std::size_t>(q * 8 + r) * lda : row[r];
    };
    __m256 acc[Blocks][N];
    for (int q = 0; q < Blocks; ++q)
        for (int j = 0; j < N; ++j) acc[q][j] = _mm256_setzero_ps();
    // Count steps from k; a compile-time count keeps the transposed block in
    // registers.
    auto steps = [&](std::size_t k, auto count, auto load) {
        for (int q = 0; q < Blocks; ++q) {
            __m256 x[8], t[8];
#pragma GCC unroll 8
            for (int r = 0; r < 8; ++r) x[r] = load(at(q, r) + k);
            transpose8(x, t);
#pragma GCC unroll 8
            for (int s = 0; s < decltype(count)::value; ++s)
#pragma GCC unroll 8
                for (int j = 0; j < N; ++j) {
                    __m256 w = _mm256_broadcast_ss(b + (k + s) * ldb + j);
                    acc[q][j] = order::add(order::mul(w, t[s]), acc[q][j]);
                }
        }
    };
    std::size_t k = 0;
    for (; k + 8 <= kc; k += 8)
        steps(k, std::integral_constant<int, 8>{},
              [](const float* p) { return _mm256_loadu_ps(p); });
    if (k < kc) {
        const __m256i m = low_lanes(kc - k);
        auto masked = [m](const float* p) { return _mm256_maskload_ps(p, m); };
        switch (kc - k) {
            case 1: steps(k, std::integral_constant<int, 1>{}, masked); break;
            case 2: steps(k, std::integral_constant<int, 2>{}, masked); break;
            case 3: steps(k, std::integral_constant<int, 3>{}, masked); break;
            case 4: steps(k, std::integral_constant<int, 4>{}, masked); break;
            case 5: steps(k, std::integral_constant<int, 5>{}, masked); break;
            case 6: steps(k, std::integral_constant<int, 6>{}, masked); break;
            default: steps(k, std::integral_constant<int, 7>{}, masked); break;
        }
    }
    // Plain stores through a buffer: a masked store (vmaskmovps) costs many
    // times a plain one on AMD cores.
    alignas(32) float buf[8];
    for (int q = 0; q < Blocks; ++q) {
        const std::size_t r0 = std::size_t{8} * q;
        if (r0 >= rows) break;
        const std::size_t live = std::min<std::size_t>(8, rows - r0);
        if constexpr (N == 1) {
            if (ldc == 1) {
                if (live == 8) {
                    _mm256_storeu_ps(c + r0, acc[q][0]);
                } else {
                    _mm256_store_ps(buf, acc[q][0]);
                    std::memcpy(c + r0, buf, live * sizeof(float));
                }
                continue;
            }
        }
        __m256 x[8], t[8];
        for (int j = 0; j < 8; ++j) x[j] = j < N ? acc[q][j] : _mm256_setzero_ps();
        transpose8(x, t);
        for (std::size_t r = 0; r < live; ++r) {
            _mm256_store_ps(buf, t[r]);
            std::memcpy(c + (r0 + r) * ldc, buf, N * sizeof(float));
        }
    }
}

template <int N>
void narrow_kernel(std::size_t rows, std::size_t kc, const float* a, std::size_t lda,
                   const float* b, std::size_t ldb, float* c, std::size_t ldc) {
    constexpr int blocks = blocks_for<N>;
    constexpr std::size_t group = std::size_t{8} * blocks;
    std::size_t i = 0;
    if (blocks > 1 && kc <= short_rows)
        for (; i + group <= rows; i += group)
            narrow_blocks<N, blocks>(group, kc, a + i * lda, lda, b, ldb, c + i * ldc, ldc);
    for (; i < rows; i += 8)
        narrow_blocks<N, 1>(std::min<std::size_t>(8, rows - i), kc, a + i * lda, lda, b, ldb,
                            c + i * ldc, ldc);
}

// ---- few result rows: the right operand streamed row by row ---------------
//
// The i-k-j order itself over a block of result columns: for each k, U rows
// of the right operand at a time, each result vector loaded once, given its
// U products k ascending and stored. Reading the right operand's rows in
// order keeps the prefetchers ahead of a product too large for any cache;
// the result block stays in the first-level cache. The last columns beyond
// a multiple of 8 stay in registers for the whole product.

template <int R>
constexpr int unroll_for = R == 1   ? 8
                           : R == 2 ? 4
                                    : 2;

template <int R, int U>
[[gnu::always_inline]] inline void stream_steps(std::size_t k, const float* a, std::size_t lda,
                                                const float* b, std::size_t ldb, float* c,
                                                std::size_t ldc, std::size_t full, __m256i tail,
                                                __m256 (&edge)[R]) {
    __m256 w[R][U];
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) w[r][u] = _mm256_broadcast_ss(a + r * lda + k + u);
    const float* bk = b + k * ldb;
    for (std::size_t j = 0; j < full; j += 8) {
        __m256 bv[U];
        if (U > 1 && j % 16 == 0)
#pragma GCC unroll 8
            for (int u = 0; u < U; ++u)
                _mm_prefetch(reinterpret_cast<const char*>(bk + (2 * U + u) * ldb + j),
                             _MM_HINT_T0);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) bv[u] = _mm256_loadu_ps(bk + u * ldb + j);
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            __m256 acc = _mm256_loadu_ps(c + r * ldc + j);
#pragma GCC unroll 8
            for (int u = 0; u < U; ++u) acc = order::add(order::mul(bv[u], w[r][u]), acc);
            _mm256_storeu_ps(c + r * ldc + j, acc);
        }
    }
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        __m256 bv = _mm256_maskload_ps(bk + u * ldb + full, tail);
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) edge[r] = order::add(order::mul(bv, w[r][u]), edge[r]);
    }
}

template <int R>
void stream_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                   float* c, std::size_t ldc, std::size_t width) {
    constexpr int U = unroll_for<R>;
    const std::size_t full = width / 8 * 8;
    const __m256i tail = low_lanes(width - full);
    __m256 edge[R];
    for (int r = 0; r < R; ++r) {
        edge[r] = _mm256_setzero_ps();
        for (std::size_t j = 0; j < full; j += 8) _mm256_storeu_ps(c + r * ldc + j, edge[r]);
    }
    std::size_t k = 0;
    for (; k + U <= kc; k += U) stream_steps<R, U>(k, a, lda, b, ldb, c, ldc, full, tail, edge);
    for (; k < kc; ++k) stream_steps<R, 1>(k, a, lda, b, ldb, c, ldc, full, tail, edge);
    if (full < width) {
        alignas(32) float buf[8];
        for (int r = 0; r < R; ++r) {
            _mm256_store_ps(buf, edge[r]);
            std::memcpy(c + r * ldc + full, buf, (width - full) * sizeof(float));
        }
    }
}

}  // namespace

const NarrowKernel narrow[max_narrow_cols] = {narrow_kernel<1>, narrow_kernel<2>, narrow_kernel<3>,
                                              narrow_kernel<4>, narrow_kernel<5>, narrow_kernel<6>,
                                              narrow_kernel<7>, narrow_kernel<8>};

namespace {

// No fetching variant for packed panels: its extra instructions in the loop
// cost more than the fetches save there; only rows read in place at a wide
// stride are worth fetching (the strided kernels).
constexpr ProductKernels set{
    tile_rows,
    tile_cols,
    {kernel<1, false>, kernel<2, false>, kernel<3, false>, kernel<4, false>, kernel<5, false>,
     kernel<6, false>, nullptr, nullptr},
    {},  // never fetches
    {kernel<1, true>, kernel<2, true>, kernel<3, true>, kernel<4, true>, kernel<5, true>,
     kernel<6, true>, nullptr, nullptr},
    narrow,
    stream,
    stream_rows,
    blocking,
    {}};  // no half-width kernels

}  // namespace

const StreamKernel stream[stream_rows] = {stream_kernel<1>, stream_kernel<2>, stream_kernel<3>,
                                          stream_kernel<4>};

const ProductKernels& product() noexcept { return set; }

}  // namespace kestrix::kernels::avx2
