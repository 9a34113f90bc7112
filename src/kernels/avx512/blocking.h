#pragma once
// The blocking of the AVX-512 product kernels and the sizes where the driver
// changes path for them: the common blocking (kernels/blocking.h) but for
// what is said here.
#include <cstddef>
#include <cstdint>

#include "kernels/blocking.h"

namespace kestrix::kernels::avx512 {

inline constexpr gemm::Blocking blocking = [] {
    gemm::Blocking b = common_blocking;
    // At large k blocks keep 512 columns: every column block copies the left
    // operand's rows again, and at 256 columns those copies took 7 % of a
    // 2048^2 product (512 measured 3-6 % faster from 1024^2 to 4096^2 on Zen 4,
    // where a block's 256 k steps of 512 columns still fit the 1 MiB L2).
    b.packing.block_columns = 512;
    // Handing a product of fewer than 2^21 multiply-adds (128^3) to the pool
    // and waking a second worker takes longer than the product takes on one
    // core: measured on Zen 4, 72^3 to 96^3 spent 20-40 % of their processor
    // time in the hand-off, the woken worker yielding and the caller waiting
    // on its latch.
    b.alone_work = std::uint64_t{1} << 21;
    b.alone_floats = std::uint64_t{1} << 17;
    return b;
}();

}  // namespace kestrix::kernels::avx512
