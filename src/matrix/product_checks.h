#pragma once
// The index checks of a product, made so that it fails where the plain
// i-k-j loop would first read out of bounds, at the same index.
#include <cstddef>

namespace kestrix::gemm {

// The checks that reading rows [lo, hi) of an m x k by k x n product makes,
// in the order the plain loop makes them: for each row i and k, the left
// index, then the right indices of row k. Fails with the first failing index.
void check_rows(std::size_t lo, std::size_t hi, std::size_t k, std::size_t n, std::size_t a_len,
                std::size_t b_len);

}  // namespace kestrix::gemm
