// Few result columns: the set's narrow kernels, lanes across rows, over units
// of (column group, block of rows), group-major; the columns are split only
// when there are too few rows to go round.
#include <algorithm>

#include "matrix/product_checks.h"
#include "matrix/product_paths.h"

namespace kestrix::gemm {

void narrow_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    constexpr std::size_t block = 8;  // the rows of one vector of lanes
    const std::size_t blocks = (pr.m + block - 1) / block;
    const std::size_t groups = parts_for(pool, blocks, pr.n);
    run_units(pool, pr, groups * blocks, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t u = lo; u < hi;) {
            const std::size_t g = u / blocks, first = u % blocks;
            const std::size_t last = std::min(blocks, first + (hi - u));
            const std::size_t r0 = first * block, r1 = std::min(pr.m, last * block);
            const std::size_t c0 = g * pr.n / groups, c1 = (g + 1) * pr.n / groups;
            check_rows(r0, r1, pr.k, pr.n, a_len, b_len);
            pr.kernels->narrow[c1 - c0 - 1](r1 - r0, pr.k, pr.a + r0 * pr.k, pr.k, pr.b + c0, pr.n,
                                            pr.c + r0 * pr.n + c0, pr.n);
            u += last - first;
        }
    });
}

}  // namespace kestrix::gemm
