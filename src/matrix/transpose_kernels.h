#pragma once
// The transpose's register blocks for processors with AVX, AVX-512 and Advanced SIMD;
// the baseline ones and the edges live beside the driver in matrix.cpp.
#include <cstddef>

namespace kestrix::transpose_kernels {

// dst[j * r + i] = src[i * c + j] for the 8 x 8 blocks that fit in result
// rows [j0, j1) and source rows [i0, i1) of an r x c source, counted from
// (j0, i0); the caller copies the edges. Call only where
// gemm::isa_supported(avx2).
void blocks_avx(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                std::size_t j1, std::size_t i0, std::size_t i1);

// The same in 16 x 16 blocks. Call only where gemm::isa_supported(avx512).
void blocks_avx512(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                   std::size_t j1, std::size_t i0, std::size_t i1);

// The same with stores that bypass the caches, each filling one whole line:
// only where dst is 64-byte aligned, r % 16 == 0 and i0 % 16 == 0.
void blocks_avx512_streaming(const float* src, float* dst, std::size_t r, std::size_t c,
                             std::size_t j0, std::size_t j1, std::size_t i0, std::size_t i1);

// The same in 4 x 4 blocks of Advanced SIMD registers (aarch64 builds only).
void blocks_neon(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                 std::size_t j1, std::size_t i0, std::size_t i1);

}  // namespace kestrix::transpose_kernels
