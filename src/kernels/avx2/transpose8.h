#pragma once
// An 8 x 8 transpose in ymm registers, shared by the matrix transpose, the
// few-column product kernels and the solver's blocks. Include only from files
// built for AVX2 or wider: everything here has internal linkage, so no copy
// is picked by the linker for a caller on another processor. Shuffles move
// bits unchanged.
#include <immintrin.h>

namespace kestrix {
namespace {

// t[j] lane k = r[k] lane j. Always inlined, as the helpers below: the
// kernels' many instances otherwise lead the compiler to call it, passing
// the registers through memory.
[[gnu::always_inline]] inline void transpose8(const __m256 r[8], __m256 t[8]) {
    __m256 a[8], b[8];
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
        a[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        a[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    // b[4q + s], 128-bit lane L: rows 4q .. 4q + 3 of column 4L + s.
#pragma GCC unroll 2
    for (int q = 0; q < 8; q += 4) {
        b[q] = _mm256_shuffle_ps(a[q], a[q + 2], 0x44);
        b[q + 1] = _mm256_shuffle_ps(a[q], a[q + 2], 0xee);
        b[q + 2] = _mm256_shuffle_ps(a[q + 1], a[q + 3], 0x44);
        b[q + 3] = _mm256_shuffle_ps(a[q + 1], a[q + 3], 0xee);
    }
#pragma GCC unroll 4
    for (int s = 0; s < 4; ++s) {
        t[s] = _mm256_permute2f128_ps(b[s], b[4 + s], 0x20);
        t[4 + s] = _mm256_permute2f128_ps(b[s], b[4 + s], 0x31);
    }
}

}  // namespace
}  // namespace kestrix
