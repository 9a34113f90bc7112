// Transpose blocks of 8 x 8 in ymm registers: eight loads, 24 shuffles and
// eight stores per 64 floats, half the instructions of 4 x 4 blocks.
// Shuffles move bits unchanged. Only local code here (the shared register
// transpose has internal linkage): an inline function with external linkage,
// compiled with these flags, could be picked by the linker for callers on
// processors without AVX.
#include <immintrin.h>

#include "base/isa.h"
#include "kernels/avx2/kernels.h"
#include "kernels/avx2/transpose8.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx2),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx2 {
namespace {

void copy8(const float* src, std::size_t ld_src, float* dst, std::size_t ld_dst) {
    __m256 r[8], t[8];
    for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(src + k * ld_src);
    transpose8(r, t);
    for (int k = 0; k < 8; ++k) _mm256_storeu_ps(dst + k * ld_dst, t[k]);
}

}  // namespace

void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 8 <= j1; j += 8)
        for (std::size_t i = i0; i + 8 <= i1; i += 8) copy8(src + i * c + j, c, dst + j * r + i, r);
}

}  // namespace kestrix::kernels::avx2
