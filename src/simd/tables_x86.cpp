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

const KernelTable baseline{Isa::baseline,
                           gemm::baseline_kernels(),
                           blocks_baseline,
                           {},
                           detail::solver_kernels_baseline(),
                           maps::baseline()};
const KernelTable avx2{Isa::avx2, gemm::avx2_kernels(),          blocks_avx2,
                       {},        detail::solver_kernels_avx2(), maps::avx()};
const KernelTable avx512{Isa::avx512,      gemm::avx512_kernels(),          blocks_avx512_all,
                         streaming_avx512, detail::solver_kernels_avx512(), maps::avx()};

}  // namespace

const KernelTable& table_for(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512: return avx512;
        case Isa::avx2: return avx2;
        default: return baseline;
    }
}

}  // namespace kestrix
