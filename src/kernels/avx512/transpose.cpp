// Transpose blocks of 16 x 16 in zmm registers: sixteen loads, 64 shuffles
// and sixteen stores per 256 floats, two thirds of the shuffles of 8 x 8
// blocks, and each store fills a whole cache line of a 64-byte aligned row.
// Only local code here, as in the AVX file.
#include "base/isa.h"
#include "kernels/avx512/kernels.h"
#include "kernels/avx512/transpose16.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::avx512),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::avx512 {

namespace {

template <bool Stream>
void copy16(const float* src, std::size_t ld_src, float* dst, std::size_t ld_dst) {
    __m512 rows[16], cols[16];
    for (int k = 0; k < 16; ++k) rows[k] = _mm512_loadu_ps(src + k * ld_src);
    transpose16(rows, cols);
    for (int k = 0; k < 16; ++k) {
        if constexpr (Stream)
            _mm512_stream_ps(dst + k * ld_dst, cols[k]);
        else
            _mm512_storeu_ps(dst + k * ld_dst, cols[k]);
    }
}

template <bool Stream>
void blocks(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
            std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 16 <= j1; j += 16)
        for (std::size_t i = i0; i + 16 <= i1; i += 16)
            copy16<Stream>(src + i * c + j, c, dst + j * r + i, r);
    // Streaming stores are ordered by nothing else: they must reach memory
    // before the leaf reports itself done.
    if constexpr (Stream) _mm_sfence();
}

}  // namespace

void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1) {
    blocks<false>(src, dst, r, c, j0, j1, i0, i1);
}

void transpose_streaming(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
                         std::size_t j1, std::size_t i0, std::size_t i1) {
    blocks<true>(src, dst, r, c, j0, j1, i0, i1);
}

}  // namespace kestrix::kernels::avx512
