#pragma once
// The operand-order rule (base/order.h) for 128-bit SSE vectors.
#include <emmintrin.h>

namespace kestrix::order {
namespace {

[[gnu::always_inline]] inline __m128 mul(__m128 first, __m128 second) {
    __asm__("mulps %1, %0" : "+x"(first) : "x"(second));
    return first;
}
[[gnu::always_inline]] inline __m128 add(__m128 first, __m128 second) {
    __asm__("addps %1, %0" : "+x"(first) : "x"(second));
    return first;
}

}  // namespace
}  // namespace kestrix::order
