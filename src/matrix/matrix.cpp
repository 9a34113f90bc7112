#include "matrix/matrix.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#include "base/fault.h"
#include "kernels/table.h"
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

// Element i = data[i] op v. A large result's leaves write their whole lines
// past the caches; the lines at the ends of a leaf are shared with the
// neighbours and stored the ordinary way.
Matrix element_map(const Matrix& m, float v, PoolRef pool, ElementMap plain, ElementMap streaming) {
    const std::size_t n = m.data.size();
    const bool stream = n >= streamed_bytes / sizeof(float);
    constexpr std::size_t line = 16;  // floats; FloatSeq's data starts a line
    FloatSeq out(n);
    const float* in = m.data.data();
    float* o = out.data();
    parallel_leaves(pool.get(), n, [&](std::size_t lo, std::size_t hi) {
        if (!stream) return plain(in + lo, v, o + lo, hi - lo);
        const std::size_t first = std::min((lo + line - 1) / line * line, hi);
        const std::size_t last = std::max(hi / line * line, first);
        plain(in + lo, v, o + lo, first - lo);
        streaming(in + first, v, o + first, last - first);
        plain(in + last, v, o + last, hi - last);
    });
    return Matrix{std::move(out), m.rows, m.cols};
}

}  // namespace

Matrix add(const Matrix& m, float v, PoolRef pool) {
    const ElementMaps& maps = active_table().maps;
    return element_map(m, v, pool, maps.add, maps.add_streaming);
}

Matrix mul(const Matrix& m, float v, PoolRef pool) {
    const ElementMaps& maps = active_table().maps;
    return element_map(m, v, pool, maps.mul, maps.mul_streaming);
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

// Result rows [j0, j1), source rows [i0, i1): the widest register blocks that
// fit, then the strips they leave with the next narrower, the last elements
// one at a time. Leaves of most sizes neither start nor end on 16 rows, and a
// strip copied element by element would cost more than the blocks gain.
void transpose_region(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                      std::size_t j1, std::size_t i0, std::size_t i1,
                      std::span<const TransposeBlocks> kernels) {
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
    const KernelTable& table = active_table();
    std::span<const TransposeBlocks> kernels = table.transpose;
    // Every block row then starts a cache line (FloatSeq's data does).
    if (!table.transpose_streaming.empty() && r % table.transpose_streaming.front().side == 0 &&
        n >= streamed_bytes / sizeof(float))
        kernels = table.transpose_streaming;
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
