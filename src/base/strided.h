#pragma once
// Reading numeric elements out of foreign memory (an array interface, a
// buffer, a DLPack tensor) into float32, in row-major order. Plain C++: the
// descriptions come from the boundary, which owns the memory while it is read.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrix {

// Every element type read from memory; each converts as its Python value
// (an int, a bool or a float) would through the sequence path.
enum class ElementType {
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    boolean,
    float16,
    bfloat16,
    float32,
    float64,
};

std::size_t item_size(ElementType type);

// A view of n-dimensional memory: element (i0, i1, ...) lives at
// data + i0 * strides[0] + i1 * strides[1] + ... Strides are in bytes and may
// be negative, zero or unaligned; `swapped` elements are stored in the
// opposite byte order.
struct StridedView {
    const unsigned char* data = nullptr;
    ElementType type = ElementType::float32;
    bool swapped = false;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
};

// The most dimensions a description may have.
constexpr std::size_t max_dimensions = 64;

// The number of elements v describes, or the reason it describes no memory
// that can be read: too many dimensions, a negative length, strides that do
// not match the shape, a count that overflows, a null address with
// elements, elements spread over more bytes than any object can span
// (PTRDIFF_MAX), or an extent that wraps around the address space. Nothing
// is read: whether the memory described is really there is the describer's
// promise.
struct Checked {
    std::size_t count = 0;
    std::string error;  // empty when the view can be read
};
Checked check_view(const StridedView& v);

// The strides of a C-contiguous array of this shape; empty when they
// overflow.
std::optional<std::vector<std::int64_t>> row_major_strides(const std::vector<std::int64_t>& shape,
                                                           std::size_t item);

// Writes every element of a view that check_view accepted to out in
// row-major order (as ravel() reads it), each one as the sequence path would
// have produced it from its Python value: an integer rounded to the nearest
// double, then every value narrowed to the nearest float32 (too large becomes
// an infinity); float16, bfloat16 and float32 are exact, signalling NaNs
// arrive quiet with their payload kept, as through a Python float. out has
// room for every element.
void read_row_major(const StridedView& v, float* out);

}  // namespace kestrix
