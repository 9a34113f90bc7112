// Transpose blocks of 4 x 4 in Advanced SIMD registers: four loads, eight
// permutes and four stores per 16 floats. Permutes move bits unchanged.
#include <arm_neon.h>

#include "base/isa.h"
#include "kernels/neon/kernels.h"
#include "kernels/neon/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::neon {
namespace {

[[gnu::always_inline]] inline void copy4(const float* src, std::size_t ld_src, float* dst,
                                         std::size_t ld_dst) {
    float32x4_t r0 = vld1q_f32(src), r1 = vld1q_f32(src + ld_src);
    float32x4_t r2 = vld1q_f32(src + 2 * ld_src), r3 = vld1q_f32(src + 3 * ld_src);
    order::transpose4(r0, r1, r2, r3);
    vst1q_f32(dst, r0);
    vst1q_f32(dst + ld_dst, r1);
    vst1q_f32(dst + 2 * ld_dst, r2);
    vst1q_f32(dst + 3 * ld_dst, r3);
}

}  // namespace

void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1) {
    // Two source rows of blocks at a time: each result row then takes 32
    // bytes in a row, half a cache line, from one turn.
    std::size_t i = i0;
    for (; i + 8 <= i1; i += 8)
        for (std::size_t j = j0; j + 4 <= j1; j += 4) {
            copy4(src + i * c + j, c, dst + j * r + i, r);
            copy4(src + (i + 4) * c + j, c, dst + j * r + i + 4, r);
        }
    for (; i + 4 <= i1; i += 4)
        for (std::size_t j = j0; j + 4 <= j1; j += 4) copy4(src + i * c + j, c, dst + j * r + i, r);
}

}  // namespace kestrix::kernels::neon
