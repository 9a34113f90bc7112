#pragma once
// The element maps of add and mul; each variant has its own set.
#include <cstddef>

namespace kestrix {

// out[i] = in[i] + v, or in[i] * v, for i < n: the element is the first
// operand (base/order.h).
using ElementMap = void (*)(const float* in, float v, float* out, std::size_t n);

struct ElementMaps {
    ElementMap add, mul;
    // The same, writing past the caches a whole line at a time: only where
    // out is 64-byte aligned and n a multiple of 16; they return once the
    // lines are visible to other threads.
    ElementMap add_streaming, mul_streaming;
};

}  // namespace kestrix
