#pragma once
// The matrix-product micro-kernels and their run-time choice. A micro-kernel
// keeps an r x nr tile of results in registers and walks k ascending, each
// step a separately rounded multiply then add (product + accumulator), so
// every variant computes the same bits as the plain i-k-j loop.
#include <cstddef>
#include <cstdint>

namespace kestrix::gemm {

// C[r x nr] = (first ? +0.0 : C) + sum over k < kc of b[k * ldb + col] * a[row * lda + k],
// added k ascending. a holds r rows of kc values at row stride lda, so the
// driver can pass the left operand as it is (a k-major packing costs as much
// as the product itself for small operands); b's rows hold nr readable floats
// each; c has row stride ldc and holds r full rows of nr. Every 8th k step a
// fetching kernel also fetches one cache line of ahead[0, 2 * kc) into L2:
// spread over the tile, these fetches cost nothing, where a burst of them
// stalls the core. The other kernels ignore ahead.
using MicroKernel = void (*)(std::size_t kc, const float* a, std::size_t lda, const float* b,
                             std::size_t ldb, float* c, std::size_t ldc, bool first,
                             const float* ahead);

constexpr std::size_t max_tile_rows = 8;

// Few result columns: C[r][j] = +0.0 + sum over k < kc of b[k * ldb + j] * a[r * lda + k],
// added k ascending, for rows r < rows and columns j < N, where N is the kernel's own width;
// a and b are read in place. Each lane of a vector carries one result row.
using NarrowKernel = void (*)(std::size_t rows, std::size_t kc, const float* a, std::size_t lda,
                              const float* b, std::size_t ldb, float* c, std::size_t ldc);

// The widest result a set's narrow kernels compute.
constexpr std::size_t max_narrow_cols = 8;

// Few result rows: C[r][j] = +0.0 + sum over k < kc of b[k * ldb + j] * a[r * lda + k],
// added k ascending, for the kernel's own number of rows r and columns j < width, reading
// b's rows in order, each along its length; a and b are read in place, and
// nothing of b past column width - 1 of a row.
using StreamKernel = void (*)(std::size_t kc, const float* a, std::size_t lda, const float* b,
                              std::size_t ldb, float* c, std::size_t ldc, std::size_t width);

// How much the tiled path packs: a column block's shared packed copy holds
// about block_copy floats, but at least block_columns columns where that
// stays within block_copy_most floats, and the workers' own copies of the
// whole right operand together at most own_copies.
struct PackingLimits {
    std::size_t block_copy, block_columns, block_copy_most, own_copies;
};

// A variant's blocking and the sizes where the driver changes path: each
// depends on the kernels' loads and the caches behind them, so each variant
// states its own (src/kernels/<variant>/blocking.h, from the common one in
// src/kernels/blocking.h).
struct Blocking {
    // k steps per block and rows of the left operand per block.
    std::size_t block_k, block_rows;
    // Rows of the right operand at least this far apart (in floats) lie in
    // pages of their own, and go to a set's strided kernels.
    std::size_t strided_floats;
    // The largest right operand (in floats) read in place instead of packed.
    // Read in place, rows whose stride is a multiple of the cache's set span
    // crowd onto a few sets.
    std::size_t unpacked_b_limit;
    // Left operand rows at least this far apart (in floats) are copied per
    // block into consecutive rows, lest the rows of a block crowd onto a few
    // cache sets.
    std::size_t copied_left_stride;
    // Results of at most this many rows read the right operand in place,
    // split by columns as well as rows: packing is an extra pass over the
    // biggest operand, which the few row tiles each panel serves do not repay.
    std::size_t in_place_rows;
    PackingLimits packing;
    // Each worker packs a copy of its own where each has at least this many
    // rows to spend it on; packed copies of at most retained_packing floats
    // stay with the calling thread for its next product.
    std::size_t own_copy_rows, retained_packing;
    // Units of work the tiled path aims at per worker, and the fewest tiles
    // of rows in one.
    std::size_t units_per_worker, min_unit_tiles;
    // The column blocks of the stream path: about a worker's share of the
    // columns, within these bounds.
    std::size_t stream_narrowest, stream_widest;
    // Products of at most alone_work multiply-adds whose operands and result
    // fit in alone_floats run on the calling thread alone.
    std::uint64_t alone_work, alone_floats;
};

// The most result rows any set's stream kernels compute.
constexpr std::size_t max_stream_rows = 16;

struct ProductKernels {
    std::size_t mr;                      // largest tile height
    std::size_t nr;                      // tile width
    MicroKernel kernels[max_tile_rows];  // kernels[r - 1] computes a tile of r rows, r <= mr
    MicroKernel
        fetching[max_tile_rows];  // the same, fetching ahead; null where a set never fetches
    // The same, for a right operand read in place at a stride of at least
    // strided_floats: each also fetches the rows a few steps ahead. Null where
    // a set has none.
    MicroKernel strided[max_tile_rows];
    // narrow[n - 1] computes results of n columns; null where the set has none.
    const NarrowKernel* narrow;
    // stream[r - 1] computes results of r rows, r <= stream_rows; null
    // (and stream_rows 0) where the set has none.
    const StreamKernel* stream;
    std::size_t stream_rows;
    Blocking blocking;
    // The same as kernels, for a panel's first nr / 2 columns only: the last
    // panel of a result whose width leaves at most nr / 2 columns there,
    // which a full tile would spend most of its multiplies on padding for.
    // b's rows hold nr / 2 readable floats, c's rows nr / 2. Null where a set
    // has none.
    MicroKernel half[max_tile_rows];
};

}  // namespace kestrix::gemm
