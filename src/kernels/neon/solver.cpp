// The Advanced SIMD solver loops: blocks of 4 samples (kernels/blocks4.h) in
// 128-bit registers.
#include <arm_neon.h>

#include "base/isa.h"
#include "kernels/blocks4.h"
#include "kernels/neon/kernels.h"
#include "kernels/neon/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::neon {
namespace {

struct Neon {
    using vec = float32x4_t;
    static vec load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, vec v) { vst1q_f32(p, v); }
    static vec splat(float x) { return vdupq_n_f32(x); }
    static vec gather(const float* p, std::size_t s) {
        vec x = vld1q_dup_f32(p);
        x = vld1q_lane_f32(p + s, x, 1);
        x = vld1q_lane_f32(p + 2 * s, x, 2);
        return vld1q_lane_f32(p + 3 * s, x, 3);
    }
    static vec add(vec x, vec y) { return order::add(x, y); }
    static vec mul(vec x, vec y) { return order::mul(x, y); }
    static vec sub(vec x, vec y) { return order::sub(x, y); }
    static void transpose(vec& r0, vec& r1, vec& r2, vec& r3) { order::transpose4(r0, r1, r2, r3); }
};

using Loops = Blocks4<Neon>;
constexpr SolverKernels neon{"neon", Loops::gradient_fold, Loops::predict_rows, 0};

}  // namespace

const SolverKernels& solver() noexcept { return neon; }

}  // namespace kestrix::kernels::neon
