#pragma once
// The element maps of add and mul, one set per processor variant.
#include <cstddef>

namespace kestrix {

// out[i] = in[i] + v, or in[i] * v, for i < n: the element is the first
// operand (simd/order.h).
using ElementMap = void (*)(const float* in, float v, float* out, std::size_t n);

struct ElementMaps {
    ElementMap add, mul;
    // The same, writing past the caches a whole line at a time: only where
    // out is 64-byte aligned and n a multiple of 16; they return once the
    // lines are visible to other threads.
    ElementMap add_streaming, mul_streaming;
};

namespace maps {
// SSE2 on x86-64, portable code elsewhere.
const ElementMaps& baseline() noexcept;
// 256-bit vectors, shared by the AVX2 and AVX-512 variants: these maps are
// bound by memory, not by the width of the adds. Only where isa_supported(avx2).
const ElementMaps& avx() noexcept;
// Advanced SIMD. Only where isa_supported(neon).
const ElementMaps& neon() noexcept;
}  // namespace maps

}  // namespace kestrix
