// The element maps in Advanced SIMD registers. The streaming entries use
// ordinary stores too: aarch64's non-temporal stores are only a hint.
#include <arm_neon.h>

#include "base/isa.h"
#include "base/order.h"
#include "kernels/neon/kernels.h"
#include "kernels/neon/ops.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::kernels::neon {
namespace {

template <bool Mul>
void map(const float* in, float v, float* out, std::size_t n) {
    const float32x4_t vv = vdupq_n_f32(v);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float32x4_t x = vld1q_f32(in + i);
        vst1q_f32(out + i, Mul ? order::mul(x, vv) : order::add(x, vv));
    }
    for (; i < n; ++i) out[i] = Mul ? order::mul(in[i], v) : order::add(in[i], v);
}

constexpr ElementMaps set{map<false>, map<true>, map<false>, map<true>};

}  // namespace

const ElementMaps& maps() noexcept { return set; }

}  // namespace kestrix::kernels::neon
