#pragma once
// The blocking of the avx512 product kernels and the sizes where the driver
// changes path for them (the fields' meaning: kernels/product.h, Blocking).
#include <cstddef>
#include <cstdint>

#include "kernels/product.h"

namespace kestrix::kernels::avx512 {

// Right operands of up to 64 Ki floats are read in place.
// A block's packed copy of 2 MiB keeps the blocks of k steps of all its
// panels in the second-level cache while a unit's tiles pass over them, where
// a 16 MiB copy came from the shared third level; at large k blocks keep 512
// columns while two copies stay within 32 MiB: every column block copies the
// left operand's rows again, and at 256 columns those copies took 7 % of a
// 2048^2 product (512 measured 3-6 % faster from 1024^2 to 4096^2 on Zen 4,
// where a block's 256 k steps of 512 columns still fit the 1 MiB L2).
// Handing a product of fewer than 2^21 multiply-adds (128^3) to the pool and
// waking a second worker takes longer than the product takes on one core: measured on Zen 4, 72^3
// to 96^3 spent 20-40 % of their processor time in the hand-off, the worker
// that was woken yielding, and the caller waiting on its latch.
inline constexpr gemm::Blocking blocking{
    .block_k = 256,
    .block_rows = 144,
    .strided_floats = 512,
    .unpacked_b_limit = std::size_t{64} * 1024,
    .copied_left_stride = 1024,
    .in_place_rows = 128,
    .packing = {.block_copy = std::size_t{1} << 19,
                .block_columns = 512,
                .block_copy_most = std::size_t{4} << 20,
                .own_copies = std::size_t{1} << 19},
    .own_copy_rows = 64,
    .retained_packing = std::size_t{1} << 19,
    .units_per_worker = 16,
    .min_unit_tiles = 4,
    .stream_narrowest = 64,
    .stream_widest = 2048,
    .alone_work = std::uint64_t{1} << 21,
    .alone_floats = std::uint64_t{1} << 17,
};

}  // namespace kestrix::kernels::avx512
