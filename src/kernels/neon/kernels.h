#pragma once
// The Advanced SIMD variant, which every aarch64 Linux processor runs. Call
// its kernels only where isa_supported(Isa::neon).
#include "kernels/element_maps.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/transpose.h"

namespace kestrix::kernels::neon {

const gemm::ProductKernels& product() noexcept;

// 4 x 4 blocks in Advanced SIMD registers (kernels/transpose.h).
void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1);

const SolverKernels& solver() noexcept;

const ElementMaps& maps() noexcept;

}  // namespace kestrix::kernels::neon
