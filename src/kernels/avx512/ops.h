#pragma once
// The operand-order rule (base/order.h) for 512-bit vectors. Include only
// from files built for AVX-512 (internal linkage: no copy reaches a caller on
// another processor).
#include <immintrin.h>

namespace kestrix::order {
namespace {

[[gnu::always_inline]] inline __m512 mul(__m512 first, __m512 second) {
    __m512 r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}
[[gnu::always_inline]] inline __m512 add(__m512 first, __m512 second) {
    __m512 r;
    __asm__("vaddps %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}

}  // namespace
}  // namespace kestrix::order
