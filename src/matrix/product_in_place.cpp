// Up to Blocking::in_place_rows result rows: register tiles over the right
// operand read in place, split by column panels as well as rows.
#include <algorithm>

#include "matrix/packing.h"
#include "matrix/product_checks.h"
#include "matrix/product_paths.h"
#include "matrix/product_tiles.h"

namespace kestrix::gemm {
namespace {

// Rows [r0, r1) of column panel p, the right operand read in place (its
// last, narrower panel through a zero-padded copy, block by block).
void rows_of_panel(const Problem& pr, std::size_t r0, std::size_t r1, std::size_t p) {
    const ProductKernels& ks = *pr.kernels;
    const std::size_t block_k = pr.blocking().block_k;
    const std::size_t j0 = p * ks.nr, w = std::min(ks.nr, pr.n - j0);
    FloatSeq& edge = scratch().edge;
    for (std::size_t p0 = 0; p0 < pr.k; p0 += block_k) {
        std::size_t kc = std::min(block_k, pr.k - p0);
        const float* b = pr.b + p0 * pr.n + j0;
        std::size_t ldb = pr.n;
        if (w < ks.nr) {
            if (edge.size() < kc * ks.nr) edge.resize(block_k * ks.nr);
            copy_padded(b, pr.n, kc, w, ks.nr, edge.data());
            b = edge.data();
            ldb = ks.nr;
        }
        run_panel(pr, pr.a + r0 * pr.k + p0, pr.k, r0, r1 - r0, kc, b, ldb, j0, p0 == 0, nullptr);
    }
}

}  // namespace

// Units of (column panel, row group), panel-major, so that a leaf's groups
// share each panel while it is in cache.
void in_place_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    const std::size_t mr = pr.kernels->mr, tiles = (pr.m + mr - 1) / mr;
    const std::size_t panels = (pr.n + pr.kernels->nr - 1) / pr.kernels->nr;
    const std::size_t groups = parts_for(pool, panels, tiles);
    // Groups of whole tiles, as in the packed path.
    auto first_row = [&](std::size_t g) { return std::min(pr.m, g * tiles / groups * mr); };
    run_units(pool, pr, panels * groups, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t u = lo; u < hi; ++u) {
            std::size_t g = u % groups;
            check_rows(first_row(g), first_row(g + 1), pr.k, pr.n, a_len, b_len);
        }
        for (std::size_t u = lo; u < hi; ++u) {
            std::size_t g = u % groups;
            rows_of_panel(pr, first_row(g), first_row(g + 1), u / groups);
        }
    });
}

}  // namespace kestrix::gemm
