#pragma once
// The blocking of the Advanced SIMD product kernels and the sizes where the driver
// changes path for them: the common blocking (kernels/blocking.h) but for
// what is said here.
#include <cstddef>
#include <cstdint>

#include "kernels/blocking.h"

namespace kestrix::kernels::neon {

// A right operand of up to 32 KiB is read in place: half the 64 KiB
// first-level cache of Neoverse cores.
inline constexpr gemm::Blocking blocking = [] {
    gemm::Blocking b = common_blocking;
    b.unpacked_b_limit = std::size_t{8} * 1024;
    return b;
}();

}  // namespace kestrix::kernels::neon
