#pragma once
// The product blocking most variants share (the fields' meaning:
// kernels/product.h, Blocking). Each variant's kernels/<variant>/blocking.h
// starts from it and states where its kernels and caches differ.
#include <cstddef>
#include <cstdint>

#include "kernels/product.h"

namespace kestrix::kernels {

// Right operands of up to 64 Ki floats are read in place.
// A block's packed copy of 2 MiB keeps the blocks of k steps of all its
// panels in the second-level cache while a unit's tiles pass over them, where
// a 16 MiB copy came from the shared third level; at large k blocks keep 256
// columns while two copies stay within 32 MiB. Handing a product of fewer
// than 2^18 multiply-adds to the pool and waking a second worker takes longer
// than the product takes on one core.
inline constexpr gemm::Blocking common_blocking{
    .block_k = 256,
    .block_rows = 144,
    .strided_floats = 512,
    .unpacked_b_limit = std::size_t{64} * 1024,
    .copied_left_stride = 1024,
    .in_place_rows = 128,
    .packing = {.block_copy = std::size_t{1} << 19,
                .block_columns = 256,
                .block_copy_most = std::size_t{4} << 20,
                .own_copies = std::size_t{1} << 19},
    .own_copy_rows = 64,
    .retained_packing = std::size_t{1} << 19,
    .units_per_worker = 16,
    .min_unit_tiles = 4,
    .stream_narrowest = 64,
    .stream_widest = 2048,
    .alone_work = std::uint64_t{1} << 18,
    .alone_floats = std::uint64_t{1} << 16,
};

}  // namespace kestrix::kernels
