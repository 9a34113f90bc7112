// The x86-64 variants' tables: SSE2 (the baseline every x86-64 processor
// runs), AVX2 with FMA, and AVX-512.
#include "kernels/avx2/kernels.h"
#include "kernels/avx512/kernels.h"
#include "kernels/sse2/kernels.h"
#include "kernels/table.h"

namespace kestrix {
namespace {

using namespace kernels;

constexpr TransposeBlocks blocks_sse2[] = {{sse2::transpose, 4}};
constexpr TransposeBlocks blocks_avx2[] = {{avx2::transpose, 8}, {sse2::transpose, 4}};
constexpr TransposeBlocks blocks_avx512[] = {
    {avx512::transpose, 16}, {avx2::transpose, 8}, {sse2::transpose, 4}};
constexpr TransposeBlocks streaming_avx512[] = {
    {avx512::transpose_streaming, 16}, {avx2::transpose, 8}, {sse2::transpose, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = sse2::product(),
                           .transpose = blocks_sse2,
                           .solver = sse2::solver(),
                           .maps = sse2::maps()};
const KernelTable avx2_table{.isa = Isa::avx2,
                             .product = avx2::product(),
                             .transpose = blocks_avx2,
                             .solver = avx2::solver(),
                             .maps = avx2::maps()};
const KernelTable avx512_table{.isa = Isa::avx512,
                               .product = avx512::product(),
                               .transpose = blocks_avx512,
                               .transpose_streaming = streaming_avx512,
                               .solver = avx512::solver(),
                               .maps = avx2::maps()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512: return avx512_table;
        case Isa::avx2: return avx2_table;
        default: return baseline;
    }
}

}  // namespace kestrix
