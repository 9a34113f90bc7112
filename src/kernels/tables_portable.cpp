// Processors without vector variants of their own: the portable baseline.
#include "simd/table.h"

namespace kestrix {
namespace {

constexpr TransposeBlocks blocks_baseline[] = {{transpose_kernels::blocks4, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = gemm::baseline_kernels(),
                           .transpose = blocks_baseline,
                           .solver = detail::solver_kernels_baseline(),
                           .maps = maps::baseline()};

}  // namespace

const KernelTable& table_for(Isa) noexcept { return baseline; }

}  // namespace kestrix
