// The element maps in Advanced SIMD registers. The streaming entries use
// ordinary stores too: aarch64's non-temporal stores are only a hint.
#include <arm_neon.h>

#include "matrix/element_maps.h"
#include "simd/dispatch.h"
#include "simd/neon.h"
#include "simd/order.h"

static_assert(KESTRIX_COMPILED_FEATURES == kestrix::required_features(kestrix::Isa::neon),
              "compiled with other instruction sets than its variant is chosen for");
namespace kestrix::maps {
namespace {

template <bool Mul>
void map(const float* in, float v, float* out, std::size_t n) {
    const float32x4_t vv = vdupq_n_f32(v);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float32x4_t x = vld1q_f32(in + i);
        vst1q_f32(out + i, Mul ? simd::mul(x, vv) : simd::add(x, vv));
    }
    for (; i < n; ++i) out[i] = Mul ? simd::mul(in[i], v) : simd::add(in[i], v);
}

constexpr ElementMaps set{map<false>, map<true>, map<false>, map<true>};

}  // namespace

const ElementMaps& neon() noexcept { return set; }

}  // namespace kestrix::maps
