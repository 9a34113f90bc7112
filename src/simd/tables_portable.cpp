// Processors without vector variants of their own: the portable baseline.
#include "simd/table.h"

namespace kestrix {
namespace {

constexpr TransposeBlocks blocks_baseline[] = {{transpose_kernels::blocks4, 4}};

const KernelTable baseline{Isa::baseline,
                           gemm::baseline_kernels(),
                           blocks_baseline,
                           {},
                           detail::solver_kernels_baseline(),
                           maps::baseline()};

}  // namespace

const KernelTable& table_for(Isa) noexcept { return baseline; }

}  // namespace kestrix
