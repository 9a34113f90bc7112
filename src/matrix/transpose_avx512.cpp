// Transpose blocks of 16 x 16 in zmm registers: sixteen loads, 64 shuffles
// and sixteen stores per 256 floats, two thirds of the shuffles of 8 x 8
// blocks, and each store fills a whole cache line of a 64-byte aligned row.
// Shuffles move bits unchanged. Only local code here, as in the AVX file.
// g++ 12 takes the deliberately undefined source operand inside some
// shuffle intrinsics for an uninitialised read.
#ifndef __clang__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#ifndef __clang__
#pragma GCC diagnostic pop
#endif

#include "matrix/transpose_kernels.h"

namespace kestrix::transpose_kernels {
namespace {

void transpose16(const float* src, std::size_t ld_src, float* dst, std::size_t ld_dst) {
    __m512 r[16], t[16];
    for (int k = 0; k < 16; ++k) r[k] = _mm512_loadu_ps(src + k * ld_src);
    // Within each 128-bit lane: rows k and k + 1 interleaved.
    for (int k = 0; k < 16; k += 2) {
        t[k] = _mm512_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm512_unpackhi_ps(r[k], r[k + 1]);
    }
    // r[4g + q], lane l: column 4l + q of rows 4g to 4g + 3.
    for (int k = 0; k < 16; k += 4) {
        r[k] = _mm512_shuffle_ps(t[k], t[k + 2], 0x44);
        r[k + 1] = _mm512_shuffle_ps(t[k], t[k + 2], 0xEE);
        r[k + 2] = _mm512_shuffle_ps(t[k + 1], t[k + 3], 0x44);
        r[k + 3] = _mm512_shuffle_ps(t[k + 1], t[k + 3], 0xEE);
    }
    // t[q]: lanes 0 and 2 of groups 0 and 1; t[q + 4]: lanes 1 and 3; t[q + 8]
    // and t[q + 12] the same of groups 2 and 3.
    for (int q = 0; q < 4; ++q) {
        t[q] = _mm512_shuffle_f32x4(r[q], r[q + 4], 0x88);
        t[q + 4] = _mm512_shuffle_f32x4(r[q], r[q + 4], 0xDD);
        t[q + 8] = _mm512_shuffle_f32x4(r[q + 8], r[q + 12], 0x88);
        t[q + 12] = _mm512_shuffle_f32x4(r[q + 8], r[q + 12], 0xDD);
    }
    // One lane of every group: source column q, 4 + q, 8 + q or 12 + q whole.
    for (int q = 0; q < 4; ++q) {
        _mm512_storeu_ps(dst + q * ld_dst, _mm512_shuffle_f32x4(t[q], t[q + 8], 0x88));
        _mm512_storeu_ps(dst + (4 + q) * ld_dst, _mm512_shuffle_f32x4(t[q + 4], t[q + 12], 0x88));
        _mm512_storeu_ps(dst + (8 + q) * ld_dst, _mm512_shuffle_f32x4(t[q], t[q + 8], 0xDD));
        _mm512_storeu_ps(dst + (12 + q) * ld_dst, _mm512_shuffle_f32x4(t[q + 4], t[q + 12], 0xDD));
    }
}

}  // namespace

void blocks_avx512(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                   std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 16 <= j1; j += 16)
        for (std::size_t i = i0; i + 16 <= i1; i += 16)
            transpose16(src + i * c + j, c, dst + j * r + i, r);
}

}  // namespace kestrix::transpose_kernels
