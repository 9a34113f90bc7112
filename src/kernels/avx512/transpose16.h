#pragma once
// A 16 x 16 transpose in zmm registers, shared by the matrix transpose and
// the solver's AVX-512 kernels. Include only from files built for AVX-512:
// everything here has internal linkage, so no copy is picked by the linker
// for a caller on another processor. Shuffles move bits unchanged.
//
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

namespace kestrix {
namespace {

// t[j] lane k = r[k] lane j.
inline void transpose16(const __m512 r[16], __m512 t[16]) {
    __m512 a[16], b[16];
#pragma GCC unroll 8
    for (int k = 0; k < 16; k += 2) {
        a[k] = _mm512_unpacklo_ps(r[k], r[k + 1]);
        a[k + 1] = _mm512_unpackhi_ps(r[k], r[k + 1]);
    }
    // b[4q + s], 128-bit lane L: rows 4q .. 4q + 3 of column 4L + s.
#pragma GCC unroll 4
    for (int q = 0; q < 16; q += 4) {
        b[q] = _mm512_castpd_ps(
            _mm512_unpacklo_pd(_mm512_castps_pd(a[q]), _mm512_castps_pd(a[q + 2])));
        b[q + 1] = _mm512_castpd_ps(
            _mm512_unpackhi_pd(_mm512_castps_pd(a[q]), _mm512_castps_pd(a[q + 2])));
        b[q + 2] = _mm512_castpd_ps(
            _mm512_unpacklo_pd(_mm512_castps_pd(a[q + 1]), _mm512_castps_pd(a[q + 3])));
        b[q + 3] = _mm512_castpd_ps(
            _mm512_unpackhi_pd(_mm512_castps_pd(a[q + 1]), _mm512_castps_pd(a[q + 3])));
    }
#pragma GCC unroll 4
    for (int s = 0; s < 4; ++s) {
        __m512 lo_even = _mm512_shuffle_f32x4(b[s], b[4 + s], 0x88);
        __m512 lo_odd = _mm512_shuffle_f32x4(b[s], b[4 + s], 0xdd);
        __m512 hi_even = _mm512_shuffle_f32x4(b[8 + s], b[12 + s], 0x88);
        __m512 hi_odd = _mm512_shuffle_f32x4(b[8 + s], b[12 + s], 0xdd);
        t[s] = _mm512_shuffle_f32x4(lo_even, hi_even, 0x88);
        t[8 + s] = _mm512_shuffle_f32x4(lo_even, hi_even, 0xdd);
        t[4 + s] = _mm512_shuffle_f32x4(lo_odd, hi_odd, 0x88);
        t[12 + s] = _mm512_shuffle_f32x4(lo_odd, hi_odd, 0xdd);
    }
}

}  // namespace
}  // namespace kestrix
