#pragma once
// The operand-order rule (base/order.h) for 256-bit vectors. Include only
// from files built for AVX2 or wider (internal linkage: no copy reaches a
// caller on another processor).
#include <immintrin.h>

namespace kestrix::order {
namespace {

[[gnu::always_inline]] inline __m256 mul(__m256 first, __m256 second) {
    __m256 r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}
[[gnu::always_inline]] inline __m256 add(__m256 first, __m256 second) {
    __m256 r;
    __asm__("vaddps %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}

}  // namespace
}  // namespace kestrix::order
