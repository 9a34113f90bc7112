#include "matrix/matrix.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

#include "matrix/dispatch.h"
#if KESTRIX_X86_VARIANTS
#include <emmintrin.h>
#endif
#include "matrix/transpose_kernels.h"
#include "pool/fault.h"
#include "pool/loops.h"
#include "pool/split.h"

namespace kestrix {

Matrix make_matrix(FloatSeq data, std::uint64_t rows, std::uint64_t cols) {
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count) || count != data.size())
        fail("Data length does not match rows * cols");
    return Matrix{std::move(data), rows, cols};
}

namespace {

// A result this large does not stay in cache, and an ordinary store first
// reads each line it is about to fill: such results are written past the
// caches, a whole line at a time.
constexpr std::size_t streamed_bytes = std::size_t{16} << 20;

// Element i = f(data[i]). A large result's leaves compute each line into a
// buffer and stream it out; the lines at the ends of a leaf are shared with
// the neighbours and stored the ordinary way.
template <class F>
Matrix scalar_map(const Matrix& m, PoolRef pool, F f) {
    const std::size_t n = m.data.size();
    if (n < streamed_bytes / sizeof(float))
        return Matrix{parallel_map(pool.get(), m.data, f), m.rows, m.cols};
    constexpr std::size_t line = 16;  // floats; FloatSeq's data starts a line
    FloatSeq out(n);
    const float* in = m.data.data();
    float* o = out.data();
    parallel_leaves(pool.get(), n, [&](std::size_t lo, std::size_t hi) {
        std::size_t first = std::min((lo + line - 1) / line * line, hi);
        std::size_t last = std::max(hi / line * line, first);
        for (std::size_t i = lo; i < first; ++i) o[i] = f(in[i]);
        for (std::size_t i = first; i < last; i += line) {
            alignas(64) float t[line];
            for (std::size_t k = 0; k < line; ++k) t[k] = f(in[i + k]);
#if KESTRIX_X86_VARIANTS
            for (std::size_t k = 0; k < line; k += 4) _mm_stream_ps(o + i + k, _mm_load_ps(t + k));
#else
            std::memcpy(o + i, t, sizeof t);
#endif
        }
        for (std::size_t i = last; i < hi; ++i) o[i] = f(in[i]);
#if KESTRIX_X86_VARIANTS
        _mm_sfence();  // before the leaf reports itself done
#endif
    });
    return Matrix{std::move(out), m.rows, m.cols};
}

}  // namespace

Matrix add(const Matrix& m, float v, PoolRef pool) {
    return scalar_map(m, pool, [v](float x) { return x + v; });
}

Matrix mul(const Matrix& m, float v, PoolRef pool) {
    return scalar_map(m, pool, [v](float x) { return x * v; });
}

namespace {

// The checks made for result row j before element i is copied: the source
// index must be below n, then i below the row's length. Both only depend on
// where they first fail, so a row's checks collapse into one comparison each.
void check_transpose_row(std::size_t j, std::size_t r, std::size_t c, std::size_t n) {
    std::size_t len = std::min(r, n - j * r);
    // First i whose source index i * c + j reaches n.
    std::size_t first_bad_source = j >= n ? 0 : c == 0 ? r : (n - j + c - 1) / c;
    if (first_bad_source < r && first_bad_source <= len) fail_index(first_bad_source * c + j, n);
    if (len < r) fail_index(len, len);
}

// dst[x * ld_dst + y] = src[y * ld_src + x] for a 4 x 4 block; shuffles move bits unchanged.
inline void transpose4(const float* src, std::size_t ld_src, float* dst, std::size_t ld_dst) {
#if !KESTRIX_X86_VARIANTS
    for (std::size_t y = 0; y < 4; ++y)
        for (std::size_t x = 0; x < 4; ++x) dst[x * ld_dst + y] = src[y * ld_src + x];
#else
    __m128 r0 = _mm_loadu_ps(src);
    __m128 r1 = _mm_loadu_ps(src + ld_src);
    __m128 r2 = _mm_loadu_ps(src + 2 * ld_src);
    __m128 r3 = _mm_loadu_ps(src + 3 * ld_src);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(dst, r0);
    _mm_storeu_ps(dst + ld_dst, r1);
    _mm_storeu_ps(dst + 2 * ld_dst, r2);
    _mm_storeu_ps(dst + 3 * ld_dst, r3);
#endif
}

// Result rows [j0, j1), source rows [i0, i1) of one block, in 4 x 4 register
// blocks as far as they fit.
void transpose_blocks4(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                       std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 4 <= j1; j += 4)
        for (std::size_t i = i0; i + 4 <= i1; i += 4)
            transpose4(src + i * c + j, c, dst + j * r + i, r);
}

using Blocks = void (*)(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                        std::size_t j1, std::size_t i0, std::size_t i1);
struct BlockKernel {
    Blocks run;
    std::size_t side;
};

// Every processor variant's register blocks, widest first; a variant uses
// its own and every narrower one.
const BlockKernel block_kernels[] = {
#if KESTRIX_X86_VARIANTS
    {transpose_kernels::blocks_avx512, 16},
    {transpose_kernels::blocks_avx, 8},
#endif
#if KESTRIX_NEON_VARIANT
    {transpose_kernels::blocks_neon, 4},
#endif
    {transpose_blocks4, 4}};

// Large results are written past the caches by the 16-wide blocks: nothing
// reads them soon, and the cache keeps the source lines instead.
const BlockKernel streaming_kernels[] = {
#if KESTRIX_X86_VARIANTS
    {transpose_kernels::blocks_avx512_streaming, 16},
    {transpose_kernels::blocks_avx, 8},
#endif
    {transpose_blocks4, 4}};

// Result rows [j0, j1), source rows [i0, i1): the widest register blocks that
// fit, then the strips they leave with the next narrower, the last elements
// one at a time. Leaves of most sizes neither start nor end on 16 rows, and a
// strip copied element by element would cost more than the blocks gain.
void transpose_region(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                      std::size_t j1, std::size_t i0, std::size_t i1,
                      std::span<const BlockKernel> kernels) {
    if (kernels.empty()) {
        for (std::size_t j = j0; j < j1; ++j)
            for (std::size_t i = i0; i < i1; ++i) dst[j * r + i] = src[i * c + j];
        return;
    }
    const std::size_t w = kernels.front().side;
    const std::size_t j_full = j0 + (j1 - j0) / w * w, i_full = i0 + (i1 - i0) / w * w;
    if (j_full > j0 && i_full > i0) kernels.front().run(src, dst, r, c, j0, j_full, i0, i_full);
    if (i_full < i1) transpose_region(src, dst, r, c, j0, j_full, i_full, i1, kernels.subspan(1));
    if (j_full < j1) transpose_region(src, dst, r, c, j_full, j1, i0, i1, kernels.subspan(1));
}

}  // namespace

Matrix transpose(const Matrix& m, PoolRef pool) {
    std::size_t r = m.rows, c = m.cols, n = m.data.size();
    Pool& p = pool.get();
    // Without rows the result has c rows of no elements: nothing to copy.
    if (r == 0) return Matrix{FloatSeq(), c, 0};
    FloatSeq out(n);  // every element is written below
    const float* src = m.data.data();
    float* dst = out.data();
    std::span<const BlockKernel> kernels(block_kernels);
    switch (active_isa()) {
        case Isa::avx512:
            // Every block row then starts a cache line (FloatSeq's data does).
            if (r % 16 == 0 && n >= streamed_bytes / sizeof(float)) kernels = streaming_kernels;
            break;
        case Isa::avx2: kernels = kernels.subspan(1); break;
        case Isa::neon: kernels = kernels.first(1); break;
        case Isa::baseline: kernels = kernels.last(1); break;
    }
    // Square cache blocks of 32 keep the source lines a block touches in L1
    // while its result rows are written. From source rows of 4 KiB on, 64 is
    // faster with 8- and 16-wide register blocks; with 4-wide ones, 32.
    const std::size_t block = c >= 1024 && kernels.front().side >= 8 ? 64 : 32;
    // One result row (one source column) is the unit of splitting, as in a
    // chunked loop over the result with chunk length r.
    parallel_leaves(p, chunk_count(n, r), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t j = lo; j < hi; ++j) check_transpose_row(j, r, c, n);
        for (std::size_t jb = lo; jb < hi; jb += block) {
            std::size_t je = std::min(jb + block, hi);
            for (std::size_t ib = 0; ib < r; ib += block) {
                std::size_t ie = std::min(ib + block, r);
                transpose_region(src, dst, r, c, jb, je, ib, ie, kernels);
            }
        }
    });
    return Matrix{std::move(out), c, r};
}

}  // namespace kestrix
