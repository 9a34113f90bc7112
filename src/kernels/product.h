#pragma once
// The matrix-product micro-kernels and their run-time choice. A micro-kernel
// keeps an r x nr tile of results in registers and walks k ascending, each
// step a separately rounded multiply then add (product + accumulator), so
// every variant computes the same bits as the plain i-k-j loop.
#include <cstddef>

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
// b's rows in order; a and b are read in place.
using StreamKernel = void (*)(std::size_t kc, const float* a, std::size_t lda, const float* b,
                              std::size_t ldb, float* c, std::size_t ldc, std::size_t width);

// The most result rows a set's stream kernels compute.
constexpr std::size_t max_stream_rows = 4;

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
    // The largest right operand (in floats) read in place instead of packed.
    // Read in place, rows whose stride is a multiple of the cache's set span
    // crowd onto a few sets; the operand size where packing starts to pay
    // depends on the kernels' loads and the cache behind them.
    std::size_t unpacked_b_limit;
    // narrow[n - 1] computes results of n columns; null where the set has none.
    const NarrowKernel* narrow;
    // stream[r - 1] computes results of r rows; null where the set has none.
    const StreamKernel* stream;
};

// Blocking of the driver: k steps per block and rows of the left operand per
// block.
constexpr std::size_t block_k = 256;
constexpr std::size_t block_rows = 144;

// Rows of the right operand at least this far apart (in floats) lie in pages
// of their own, and go to a set's strided kernels.
constexpr std::size_t strided_floats = 512;

// Where the AVX-512 and baseline sets read the right operand in place.
constexpr std::size_t default_unpacked_b_limit = std::size_t{64} * 1024;

}  // namespace kestrix::gemm
