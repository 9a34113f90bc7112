#pragma once
// The portable variant: plain C++ for processors without vector variants of
// their own, and the baseline on aarch64.
#include "kernels/element_maps.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/transpose.h"

namespace kestrix::kernels::portable {

const gemm::ProductKernels& product() noexcept;

// 4 x 4 blocks (kernels/transpose.h).
void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1);

const SolverKernels& solver() noexcept;

const ElementMaps& maps() noexcept;

}  // namespace kestrix::kernels::portable
