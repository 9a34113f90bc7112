// The aarch64 variants' tables: the portable baseline and Advanced SIMD,
// which every aarch64 Linux processor runs.
#include "kernels/neon/kernels.h"
#include "kernels/portable/kernels.h"
#include "kernels/table.h"

namespace kestrix {
namespace {

using namespace kernels;

constexpr TransposeBlocks blocks_portable[] = {{portable::transpose, 4}};
constexpr TransposeBlocks blocks_neon[] = {{neon::transpose, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = portable::product(),
                           .transpose = blocks_portable,
                           .solver = portable::solver(),
                           .maps = portable::maps()};
const KernelTable neon_table{.isa = Isa::neon,
                             .product = neon::product(),
                             .transpose = blocks_neon,
                             .solver = neon::solver(),
                             .maps = neon::maps()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept { return isa == Isa::neon ? neon_table : baseline; }

}  // namespace kestrix
