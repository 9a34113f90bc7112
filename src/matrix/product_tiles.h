#pragma once
// Register tiles over one column panel of the right operand, and the
// per-thread scratch the tiled paths reuse between products.
#include <cstddef>
#include <cstdint>

#include "base/float_seq.h"
#include "matrix/packing.h"
#include "matrix/product_paths.h"

namespace kestrix::gemm {

// Per-thread scratch that leaves reuse: one zero-padded edge panel of the
// right operand, a block of the left operand's rows, and this thread's own
// packed copy of the right operand with the number of its product.
struct Scratch {
    FloatSeq edge, left;
    PackedRight own;
    std::uint64_t own_product = 0;
};

// The calling thread's scratch.
Scratch& scratch();

// Runs the tiles of one column panel over result rows [i0, i0 + mc), whose
// left operand rows (kc steps each) start at a_rows with row stride lda, the
// panel's kc rows at b with row stride ldb, its first column j0. `first`:
// this is the first block of k, which starts from +0.0. `next`: the next
// packed panel's block, fetched ahead by the kernels that do, or null.
void run_panel(const Problem& pr, const float* a_rows, std::size_t lda, std::size_t i0,
               std::size_t mc, std::size_t kc, const float* b, std::size_t ldb, std::size_t j0,
               bool first, const float* next);

}  // namespace kestrix::gemm
