#pragma once
// The matrix product's paths, which the driver (matmul.cpp) chooses by shape,
// and what they share: the problem, and whether it runs on the pool. Every
// path computes each element in one worker, k ascending from +0.0, so the
// path and its partition change speed only.
#include <cstddef>
#include <cstdint>

#include "kernels/product.h"
#include "pool/pool.h"
#include "pool/split.h"

namespace kestrix::gemm {

struct Problem {
    const float* a;  // m x k, row-major
    const float* b;  // k x n
    float* c;        // m x n
    std::size_t m, k, n;
    const ProductKernels* kernels;

    const Blocking& blocking() const noexcept { return kernels->blocking; }

    // Whether the product is too small to share: handing it to the pool and
    // waking a second worker takes longer than it takes on one core.
    bool runs_alone() const noexcept {
        std::uint64_t work = 0;
        return !__builtin_mul_overflow(std::uint64_t{m} * n, std::uint64_t{k}, &work) &&
               work <= blocking().alone_work &&
               std::uint64_t{m} * k + std::uint64_t{k} * n + std::uint64_t{m} * n <=
                   blocking().alone_floats;
    }
};

// leaf over the units [0, units) of pr: on the pool, or on the calling
// thread when the product is too small to share.
template <class Leaf>
void run_units(Pool& pool, const Problem& pr, std::size_t units, Leaf leaf) {
    if (pr.runs_alone()) {
        leaf(std::size_t{0}, units);
        return;
    }
    parallel_leaves(pool, units, leaf);
}

// Parts into which a loop of `units` is cut when it would otherwise leave
// workers idle: two per worker, so that an uneven part is not the last.
inline std::size_t parts_for(Pool& pool, std::size_t units, std::size_t most) {
    const std::size_t want = 2 * pool.size();
    if (units == 0 || units >= want) return 1;
    const std::size_t parts = (want + units - 1) / units;
    return parts < most ? parts : (most > 0 ? most : 1);
}

// Few result columns (at most max_narrow_cols): lanes across rows.
void narrow_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len);

// Few result rows (at most the set's stream_rows): the right operand streamed.
void stream_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len);

// Up to Blocking::in_place_rows result rows: register tiles over the right
// operand read in place.
void in_place_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len);

// The rest: register tiles over a packed right operand. Its operands must
// have passed check_rows over every row (product_checks.h).
void tiled_product(Pool& pool, const Problem& pr);

}  // namespace kestrix::gemm
