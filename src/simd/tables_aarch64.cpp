// The aarch64 variants' tables: the portable baseline and Advanced SIMD,
// which every aarch64 Linux processor runs.
#include "simd/table.h"

namespace kestrix {
namespace {

using namespace transpose_kernels;

constexpr TransposeBlocks blocks_baseline[] = {{blocks4, 4}};
constexpr TransposeBlocks blocks_neon_all[] = {{blocks_neon, 4}};

const KernelTable baseline{Isa::baseline,
                           gemm::baseline_kernels(),
                           blocks_baseline,
                           {},
                           detail::solver_kernels_baseline(),
                           maps::baseline()};
const KernelTable neon{Isa::neon, gemm::neon_kernels(),          blocks_neon_all,
                       {},        detail::solver_kernels_neon(), maps::neon()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept { return isa == Isa::neon ? neon : baseline; }

}  // namespace kestrix
