#pragma once
// The operand-order rule (base/order.h) for Advanced SIMD vectors, and the
// register transpose the aarch64 kernels share. Each operation is one
// instruction: a multiply and an add are never fused.
#include <arm_neon.h>

namespace kestrix::order {
namespace {

// x op y, lane by lane, x the first operand.
#define KESTRIX_NEON_OP(name, insn)                                                \
    [[gnu::always_inline]] inline float32x4_t name(float32x4_t x, float32x4_t y) { \
        float32x4_t r;                                                             \
        __asm__(insn " %0.4s, %1.4s, %2.4s" : "=w"(r) : "w"(x), "w"(y));           \
        return r;                                                                  \
    }
KESTRIX_NEON_OP(mul, "fmul")
KESTRIX_NEON_OP(add, "fadd")
KESTRIX_NEON_OP(sub, "fsub")
#undef KESTRIX_NEON_OP

// x * y[L]: every lane of x times one lane of y, x the first operand.
template <int L>
[[gnu::always_inline]] inline float32x4_t mul_lane(float32x4_t x, float32x4_t y) {
    static_assert(L >= 0 && L < 4);
    float32x4_t r;
    __asm__("fmul %0.4s, %1.4s, %2.s[%c3]" : "=w"(r) : "w"(x), "w"(y), "i"(L));
    return r;
}

// In place: t[j] lane i = r[i] lane j for four vectors. Permutes move bits
// unchanged.
[[gnu::always_inline]] inline void transpose4(float32x4_t& r0, float32x4_t& r1, float32x4_t& r2,
                                              float32x4_t& r3) {
    // Pairs of rows interleaved: a0 = r0[0] r1[0] r0[2] r1[2], a1 = r0[1] r1[1] r0[3] r1[3].
    const float32x4_t a0 = vtrn1q_f32(r0, r1), a1 = vtrn2q_f32(r0, r1);
    const float32x4_t a2 = vtrn1q_f32(r2, r3), a3 = vtrn2q_f32(r2, r3);
    auto lo = [](float32x4_t x, float32x4_t y) {
        return vreinterpretq_f32_f64(
            vtrn1q_f64(vreinterpretq_f64_f32(x), vreinterpretq_f64_f32(y)));
    };
    auto hi = [](float32x4_t x, float32x4_t y) {
        return vreinterpretq_f32_f64(
            vtrn2q_f64(vreinterpretq_f64_f32(x), vreinterpretq_f64_f32(y)));
    };
    r0 = lo(a0, a2);
    r1 = lo(a1, a3);
    r2 = hi(a0, a2);
    r3 = hi(a1, a3);
}

}  // namespace
}  // namespace kestrix::order
