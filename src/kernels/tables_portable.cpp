// Processors without vector variants of their own: the portable baseline.
#include "kernels/table.h"
#include "kernels/portable/kernels.h"

namespace kestrix {
namespace {

constexpr TransposeBlocks blocks_portable[] = {{kernels::portable::transpose, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = kernels::portable::product(),
                           .transpose = blocks_portable,
                           .solver = kernels::portable::solver(),
                           .maps = kernels::portable::maps()};

}  // namespace

const KernelTable& table_for(Isa) noexcept { return baseline; }

}  // namespace kestrix
