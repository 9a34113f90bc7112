#pragma once
// The transpose's register blocks, one set per processor variant; the driver
// and the edges live in matrix.cpp. Shuffles move bits unchanged.
#include <cstddef>

namespace kestrix {

// dst[j * r + i] = src[i * c + j] for the side x side blocks that fit in
// result rows [j0, j1) and source rows [i0, i1) of an r x c source, counted
// from (j0, i0); the caller copies the edges.
using TransposeRun = void (*)(const float* src, float* dst, std::size_t r, std::size_t c,
                              std::size_t j0, std::size_t j1, std::size_t i0, std::size_t i1);

struct TransposeBlocks {
    TransposeRun run;
    std::size_t side;
};

namespace transpose_kernels {

// 4 x 4 blocks: SSE2 on x86-64, portable code elsewhere.
void blocks4(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
             std::size_t j1, std::size_t i0, std::size_t i1);

// 8 x 8 blocks in ymm registers. Call only where isa_supported(avx2).
void blocks_avx(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                std::size_t j1, std::size_t i0, std::size_t i1);

// 16 x 16 blocks in zmm registers. Call only where isa_supported(avx512).
void blocks_avx512(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                   std::size_t j1, std::size_t i0, std::size_t i1);

// The same with stores that bypass the caches, each filling one whole line:
// only where dst is 64-byte aligned, r % 16 == 0 and i0 % 16 == 0.
void blocks_avx512_streaming(const float* src, float* dst, std::size_t r, std::size_t c,
                             std::size_t j0, std::size_t j1, std::size_t i0, std::size_t i1);

// 4 x 4 blocks in Advanced SIMD registers. Call only where isa_supported(neon).
void blocks_neon(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                 std::size_t j1, std::size_t i0, std::size_t i1);

}  // namespace transpose_kernels
}  // namespace kestrix
