#include "matrix/product_checks.h"

#include "base/fault.h"

namespace kestrix::gemm {
namespace {

// Row i's checks. Each fails first at a position computable from the lengths.
void check_row(std::size_t i, std::size_t k, std::size_t n, std::size_t a_len, std::size_t b_len) {
    if (k == 0) return;
    std::size_t a_first = i * k;
    std::size_t bad_a = a_len > a_first ? a_len - a_first : 0;  // first k whose left index fails
    std::size_t bad_b = b_len / n;  // first k with a failing right index
    if (bad_a < k && bad_a <= bad_b) fail_index(a_first + bad_a, a_len);
    if (bad_b < k) fail_index(b_len, b_len);
}

}  // namespace

// Operands that hold every value these rows read are told apart with two
// divisions, instead of one per row: the per-row division costs as much as a
// short row's whole product.
void check_rows(std::size_t lo, std::size_t hi, std::size_t k, std::size_t n, std::size_t a_len,
                std::size_t b_len) {
    if (k == 0 || lo >= hi || (a_len / k >= hi && b_len / n >= k)) return;
    for (std::size_t i = lo; i < hi; ++i) check_row(i, k, n, a_len, b_len);
}

}  // namespace kestrix::gemm
