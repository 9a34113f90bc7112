// The matrix-product driver: the shape chooses the path. Few result columns
// go to lanes across rows (product_narrow.cpp), few result rows to the right
// operand streamed (product_stream.cpp) or read in place (product_in_place.cpp),
// split over column blocks as well as rows; the rest is split by rows, a
// unit computing its rows as register tiles over a packed right operand
// (product_tiled.cpp). Whatever the path, every element is computed by one
// worker, k ascending from +0.0, so the path changes speed only.
#include <cstdint>
#include <utility>

#include "base/fault.h"
#include "kernels/product.h"
#include "kernels/table.h"
#include "matrix/matrix.h"
#include "matrix/product_checks.h"
#include "matrix/product_paths.h"

namespace kestrix {
namespace {

constexpr std::uint64_t max_elements = (std::uint64_t{1} << 61) - 1;

}  // namespace

Matrix matmul(const Matrix& a, const Matrix& b, PoolRef pool) {
    std::uint64_t m = a.rows, k = a.cols, n = b.cols, count = 0;
    if (__builtin_mul_overflow(m, n, &count) || count > max_elements) fail("capacity overflow");
    FloatSeq result(count);  // every element is written by the unit owning it
    Pool& p = pool.get();
    // No result rows or columns: nothing of either operand is read.
    if (n == 0 || m == 0) return Matrix{std::move(result), m, n};

    const gemm::ProductKernels& ks = active_table().product;
    const gemm::Problem pr{a.data.data(), b.data.data(), result.data(), m, k, n, &ks};
    const std::size_t a_len = a.data.size(), b_len = b.data.size();
    const bool narrow = ks.narrow && n <= gemm::max_narrow_cols;
    if (k != 0 && narrow)
        gemm::narrow_product(p, pr, a_len, b_len);
    else if (k != 0 && m <= ks.stream_rows)
        gemm::stream_product(p, pr, a_len, b_len);
    else if (k != 0 && m <= ks.blocking.in_place_rows)
        gemm::in_place_product(p, pr, a_len, b_len);
    else {
        gemm::check_rows(0, m, k, n, a_len, b_len);
        gemm::tiled_product(p, pr);
    }
    return Matrix{std::move(result), m, n};
}

}  // namespace kestrix
