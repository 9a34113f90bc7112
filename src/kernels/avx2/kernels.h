#pragma once
// The AVX2 variant (with FMA's processors, never its fused instructions). Call
// its kernels only where isa_supported(Isa::avx2).
#include "kernels/element_maps.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/transpose.h"

namespace kestrix::kernels::avx2 {

const gemm::ProductKernels& product() noexcept;

// The narrow and stream kernels, which the AVX-512 variant shares: their
// loads already fill a 256-bit register per row, and AVX-512 processors run
// AVX2.
extern const gemm::NarrowKernel narrow[gemm::max_narrow_cols];
inline constexpr std::size_t stream_rows = 4;
extern const gemm::StreamKernel stream[stream_rows];

// 8 x 8 blocks in ymm registers (kernels/transpose.h).
void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1);

const SolverKernels& solver() noexcept;

// 256-bit element maps, shared by the AVX-512 variant: these maps are bound
// by memory, not by the width of the adds.
const ElementMaps& maps() noexcept;

}  // namespace kestrix::kernels::avx2
