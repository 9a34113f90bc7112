// The x86-64 variants' tables: SSE2 (the baseline every x86-64 processor
// runs), AVX2 with FMA, and AVX-512.
#include "simd/table.h"

namespace kestrix {
namespace {

using namespace transpose_kernels;

constexpr TransposeBlocks blocks_baseline[] = {{blocks4, 4}};
constexpr TransposeBlocks blocks_avx2[] = {{blocks_avx, 8}, {blocks4, 4}};
constexpr TransposeBlocks blocks_avx512_all[] = {
    {blocks_avx512, 16}, {blocks_avx, 8}, {blocks4, 4}};
constexpr TransposeBlocks streaming_avx512[] = {
    {blocks_avx512_streaming, 16}, {blocks_avx, 8}, {blocks4, 4}};

const KernelTable baseline{.isa = Isa::baseline,
                           .product = gemm::baseline_kernels(),
                           .transpose = blocks_baseline,
                           .solver = detail::solver_kernels_baseline(),
                           .maps = maps::baseline()};
const KernelTable avx2{.isa = Isa::avx2,
                       .product = gemm::avx2_kernels(),
                       .transpose = blocks_avx2,
                       .solver = detail::solver_kernels_avx2(),
                       .maps = maps::avx()};
const KernelTable avx512{.isa = Isa::avx512,
                         .product = gemm::avx512_kernels(),
                         .transpose = blocks_avx512_all,
                         .transpose_streaming = streaming_avx512,
                         .solver = detail::solver_kernels_avx512(),
                         .maps = maps::avx()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512: return avx512;
        case Isa::avx2: return avx2;
        default: return baseline;
    }
}

}  // namespace kestrix
