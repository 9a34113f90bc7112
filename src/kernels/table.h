#pragma once
// One table of kernels per instruction-set variant: the products, the
// transpose's register blocks, the solver's loops and the element maps.
// base/isa.h chooses the variant once per process (or per override), and
// every driver takes its kernels from that variant's table; adding a variant
// means adding one folder of kernels (kernels/<variant>/) and its table in
// its family's kernels/tables_<family>.cpp.
#include <span>

#include "base/isa.h"
#include "kernels/element_maps.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/transpose.h"

namespace kestrix {

struct KernelTable {
    Isa isa;
    const gemm::ProductKernels& product;
    // Register blocks, widest first; each size's edges go to the next one.
    std::span<const TransposeBlocks> transpose;
    // Blocks for results that do not stay in cache, written past the caches:
    // only where the source's row count is a multiple of the first block's
    // side. Empty where the variant has none.
    std::span<const TransposeBlocks> transpose_streaming = {};
    const SolverKernels& solver;
    ElementMaps maps;
};

// The table of one of every_isa's variants. Call its kernels only where
// isa_supported says so.
const KernelTable& table_for(Isa isa) noexcept;

// The table of the active variant (see active_isa).
inline const KernelTable& active_table() noexcept { return table_for(active_isa()); }

}  // namespace kestrix
