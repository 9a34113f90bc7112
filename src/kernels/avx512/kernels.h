#pragma once
// The AVX-512 variant (F, VL, DQ and BW). Call its kernels only where
// isa_supported(Isa::avx512); it shares the AVX2 variant's narrow and
// element-map kernels (kernels/avx2/kernels.h).
#include "kernels/element_maps.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/transpose.h"

namespace kestrix::kernels::avx512 {

const gemm::ProductKernels& product() noexcept;

// 16 x 16 blocks in zmm registers (kernels/transpose.h).
void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1);

// The same with stores that bypass the caches, each filling one whole line:
// only where dst is 64-byte aligned, r % 16 == 0 and i0 % 16 == 0.
void transpose_streaming(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                         std::size_t j1, std::size_t i0, std::size_t i1);

const SolverKernels& solver() noexcept;

}  // namespace kestrix::kernels::avx512
