// AVX-512 micro-kernel: up to 8 x 32 results in 16 zmm accumulators. A core
// with two multiply and two add pipes issues two 512-bit multiplies and two
// adds per cycle, so separate multiply and add reach the same peak as a fused
// instruction would; where all three share two pipes they reach half of it,
// the price of rounding each product.
// Only intrinsics and local code here: an inline function from a shared
// header, compiled with these flags, could be picked by the linker for
// callers on processors without AVX-512.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

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

// The same steps over the tile's first 16 columns: eight accumulators still
// cover the additions' latency on two add pipes.
template <std::size_t R>
void half_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                 float* c, std::size_t ldc, bool first, const float*) {
#define KESTRIX_INIT(r)                                             \
    [[maybe_unused]] const float* a##r = R > (r) ? a + (r)*lda : a; \
    __m512 lo##r = _mm512_setzero_ps();                             \
    if constexpr (R > (r))                                          \
        if (!first) lo##r = _mm512_loadu_ps(c + (r)*ldc);
#define KESTRIX_STEP(r) \
    if constexpr (R > (r)) lo##r = order::add(order::mul(b_lo, broadcast(a##r + k)), lo##r);
#define KESTRIX_STORE(r) \
    if constexpr (R > (r)) _mm512_storeu_ps(c + (r)*ldc, lo##r);
    KESTRIX_ROWS(KESTRIX_INIT)
    for (std::size_t k = 0; k < kc; ++k) {
        __m512 b_lo = _mm512_loadu_ps(b);
        KESTRIX_ROWS(KESTRIX_STEP)
        b += ldb;
    }
    KESTRIX_ROWS(KESTRIX_STORE)
#undef KESTRIX_INIT
#undef KESTRIX_STEP
#undef KESTRIX_STORE
}
#undef KESTRIX_ROWS

// ---- few result rows: the right operand streamed row by row ---------------
//
// For each block of 8 or 16 k steps, the result's rows pass once across
// the block's columns, a tile of up to 8 rows x V vectors at a time: the tile
// is loaded from the result (or starts at +0.0 in the first block), given
// the block's steps k ascending, and stored. Each step's row of the right
// operand is thus read along its length, a block's rows side by side,
// where a register tile walking down a column panel would take 128 bytes
// from each row in turn: at row strides of a few KiB that is a page per
// step, which neither the prefetchers nor the memory's open rows follow, and
// at strides off a multiple of 64 bytes every line at a panel's edge is
// fetched twice, once for each panel. The rows of the next block are fetched
// into L2 one pass ahead, a line per vector of the tile, so that the pass
// over one block hides the memory latency of the next. Measured on Zen 4:
// without the fetches the reads ran 10-35 % slower; one or two rows, whose
// passes are short, read fastest in blocks of 8 steps, more rows in blocks
// of 16 (fewer round trips of the result tile).

// V vectors of 16 columns; a tile narrower than 16 * V has its last vectors
// masked (mask of the last one, earlier ones full, later ones empty).
template <std::size_t G, std::size_t V>
[[gnu::always_inline]] inline void stream_tile(std::size_t k0, std::size_t steps, const float* a,
                                               std::size_t lda, const float* b, std::size_t ldb,
                                               float* c, std::size_t ldc, bool first,
                                               std::size_t cols, std::uintptr_t ahead) {
    __mmask16 mask[V];
    for (std::size_t v = 0; v < V; ++v) {
        const std::size_t at = std::size_t{16} * v;
        mask[v] = cols >= at + 16 ? __mmask16(0xffff)
                  : cols > at     ? __mmask16((1u << (cols - at)) - 1)
                                  : __mmask16(0);
    }
    __m512 acc[G][V];
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t v = 0; v < V; ++v)
            acc[g][v] =
                first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(mask[v], c + g * ldc + 16 * v);
    if (ahead != 0)
        for (std::size_t u = 0; u < steps; ++u)
            for (std::size_t v = 0; v < V; ++v)
                // NOLINTNEXTLINE(performance-no-int-to-ptr): may lie past the operand
                _mm_prefetch(reinterpret_cast<const char*>(ahead + (u * ldb + 16 * v) * 4),
                             _MM_HINT_T1);
    const float* bk = b + k0 * ldb;
    for (std::size_t u = 0; u < steps; ++u, bk += ldb) {
        __m512 bv[V];
        for (std::size_t v = 0; v < V; ++v) bv[v] = _mm512_maskz_loadu_ps(mask[v], bk + 16 * v);
        for (std::size_t g = 0; g < G; ++g) {
            const __m512 av = broadcast(a + g * lda + k0 + u);
            for (std::size_t v = 0; v < V; ++v)
                acc[g][v] = order::add(order::mul(bv[v], av), acc[g][v]);
        }
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t v = 0; v < V; ++v)
            _mm512_mask_storeu_ps(c + g * ldc + 16 * v, mask[v], acc[g][v]);
}

// Tiles of V vectors across [0, width), then single vectors for the rest.
template <std::size_t G, std::size_t V>
[[gnu::always_inline]] inline void stream_pass(std::size_t k0, std::size_t steps, const float* a,
                                               std::size_t lda, const float* b, std::size_t ldb,
                                               float* c, std::size_t ldc, std::size_t width,
                                               bool first, bool fetch) {
    const auto next = reinterpret_cast<std::uintptr_t>(b + (k0 + steps) * ldb);
    constexpr std::size_t tile = std::size_t{16} * V;
    std::size_t j = 0;
    for (; j + tile <= width; j += tile)
        stream_tile<G, V>(k0, steps, a, lda, b + j, ldb, c + j, ldc, first, tile,
                          fetch ? next + j * 4 : 0);
    for (; j < width; j += 16)
        stream_tile<G, 1>(k0, steps, a, lda, b + j, ldb, c + j, ldc, first,
                          std::min<std::size_t>(16, width - j), fetch ? next + j * 4 : 0);
}

template <std::size_t G>
constexpr std::size_t vectors_for = G >= 5 ? 2 : 4;
template <std::size_t G>
constexpr std::size_t steps_for = G <= 2 ? 8 : 16;

template <int R>
void stream_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                   float* c, std::size_t ldc, std::size_t width) {
    constexpr std::size_t G0 = std::min<std::size_t>(R, 8), G1 = R - G0;
    constexpr std::size_t V = vectors_for<G0>;
    constexpr std::size_t block = steps_for<G0>;
    for (std::size_t k0 = 0; k0 < kc; k0 += block) {
        const std::size_t steps = std::min(block, kc - k0);
        const bool first = k0 == 0, fetch = k0 + steps < kc;
        stream_pass<G0, V>(k0, steps, a, lda, b, ldb, c, ldc, width, first, fetch);
        // The second group's pass finds the block's rows in L2, fetched by the first.
        if constexpr (G1 > 0)
            stream_pass<G1, V>(k0, steps, a + G0 * lda, lda, b, ldb, c + G0 * ldc, ldc, width,
                               first, false);
    }
}

constexpr StreamKernel stream[] = {
    stream_kernel<1>,  stream_kernel<2>,  stream_kernel<3>,  stream_kernel<4>,
    stream_kernel<5>,  stream_kernel<6>,  stream_kernel<7>,  stream_kernel<8>,
    stream_kernel<9>,  stream_kernel<10>, stream_kernel<11>, stream_kernel<12>,
    stream_kernel<13>, stream_kernel<14>, stream_kernel<15>, stream_kernel<16>};
static_assert(std::size(stream) == max_stream_rows);

constexpr ProductKernels set{
    tile_rows,
    tile_cols,
    {kernel<1, false>, kernel<2, false>, kernel<3, false>, kernel<4, false>, kernel<5, false>,
     kernel<6, false>, kernel<7, false>, kernel<8, false>},
    {kernel<1, true>, kernel<2, true>, kernel<3, true>, kernel<4, true>, kernel<5, true>,
     kernel<6, true>, kernel<7, true>, kernel<8, true>},
    {},  // no strided kernels
    avx2::narrow,
    stream,
    max_stream_rows,
    blocking,
    {half_kernel<1>, half_kernel<2>, half_kernel<3>, half_kernel<4>, half_kernel<5>, half_kernel<6>,
     half_kernel<7>, half_kernel<8>}};

}  // namespace

const ProductKernels& product() noexcept { return set; }

}  // namespace kestrix::kernels::avx512
