#pragma once
// The blocking of the AVX2 product kernels and the sizes where the driver
// changes path for them: the common blocking (kernels/blocking.h) but for
// what is said here.
#include <cstddef>
#include <cstdint>

#include "kernels/blocking.h"

namespace kestrix::kernels::avx2 {

// Right operands of more than 128 x 64 floats are packed: read in place at
// a row stride of 1 KiB, a 16-column panel crowds onto 4 of the first-level
// cache's 64 sets.
inline constexpr gemm::Blocking blocking = [] {
    gemm::Blocking b = common_blocking;
    b.unpacked_b_limit = std::size_t{8} * 1024;
    return b;
}();

}  // namespace kestrix::kernels::avx2
