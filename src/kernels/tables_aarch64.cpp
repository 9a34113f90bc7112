// The aarch64 variants' tables: the portable baseline and Advanced SIMD,
// which every aarch64 Linux processor runs.
#include "simd/table.h"

namespace kestrix {
namespace {

using namespace transpose_kernels;

constexpr TransposeBlocks blocks_baseline[] = {{blocks4, 4}};
constexpr TransposeBlocks blocks_neon_all[] = {{blocks_neon, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = gemm::baseline_kernels(),
                           .transpose = blocks_baseline,
                           .solver = detail::solver_kernels_baseline(),
                           .maps = maps::baseline()};
const KernelTable neon{.isa = Isa::neon,
                       .product = gemm::neon_kernels(),
                       .transpose = blocks_neon_all,
                       .solver = detail::solver_kernels_neon(),
                       .maps = maps::neon()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept { return isa == Isa::neon ? neon : baseline; }

}  // namespace kestrix
