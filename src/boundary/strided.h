#pragma once
// Reading float32 and float64 elements out of foreign memory (an array
// interface or a buffer) into a FloatSeq. Plain C++: nothing here knows the
// interpreter.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix::py {

enum class ElementType { float32, float64 };

// A view of n-dimensional memory: element (i0, i1, ...) lives at
// data + i0 * strides[0] + i1 * strides[1] + ... Strides are in bytes and may
// be negative, zero or unaligned.
struct StridedView {
    const unsigned char* data = nullptr;
    ElementType type = ElementType::float32;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
};

std::size_t item_size(ElementType type);

// The product of the shape, or false when it does not fit in a size_t.
bool element_count(const std::vector<std::int64_t>& shape, std::size_t& count);

// The strides of a C-contiguous array of this shape.
std::vector<std::int64_t> row_major_strides(const std::vector<std::int64_t>& shape,
                                            ElementType type);

// Writes every element of v to out in row-major order (as ravel() reads it),
// each one as the sequence path would have produced it from a Python float:
// float64 narrowed to the nearest float32 (too large becomes an infinity),
// float32 kept, and signalling NaNs quieted with their payload kept, as the
// widening of a float32 to a Python float quiets them. out has room for
// every element.
void read_row_major(const StridedView& v, float* out);

}  // namespace kestrix::py
