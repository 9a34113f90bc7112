// Few result rows: the set's stream kernels over units of column blocks, so
// that each worker streams its own part of the right operand. A block's
// result rows stay in the first-level cache.
#include <algorithm>

#include "matrix/product_checks.h"
#include "matrix/product_paths.h"

namespace kestrix::gemm {

void stream_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    const Blocking& bl = pr.blocking();
    // Blocks of whole 64-byte vectors, one or two per worker.
    std::size_t width = (pr.n / pool.size() + 15) / 16 * 16;
    width = std::clamp(width, bl.stream_narrowest, bl.stream_widest);
    const std::size_t blocks = (pr.n + width - 1) / width;
    run_units(pool, pr, blocks, [&](std::size_t lo, std::size_t hi) {
        check_rows(0, pr.m, pr.k, pr.n, a_len, b_len);
        for (std::size_t u = lo; u < hi; ++u) {
            const std::size_t j0 = u * width, w = std::min(width, pr.n - j0);
            pr.kernels->stream[pr.m - 1](pr.k, pr.a, pr.k, pr.b + j0, pr.n, pr.c + j0, pr.n, w);
        }
    });
}

}  // namespace kestrix::gemm
