#include "base/strided.h"

#include <bit>
#include <cstring>
#include <limits>

namespace kestrix {
namespace {

// Little-endian data is read as native values; `swapped` covers the other order.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint32_t magnitude_bits = 0x7fffffff;
constexpr std::uint32_t infinity_bits = 0x7f800000;
constexpr std::uint32_t quiet_bit = 0x00400000;

// A float32 widened to a Python float and narrowed back keeps its bits,
// except that a NaN comes back quiet. Done on the bits, since the compiler
// may drop a round trip through double.
float quieted(std::uint32_t u) {
    u |= (u & magnitude_bits) > infinity_bits ? quiet_bit : 0;
    return std::bit_cast<float>(u);
}

float from_half(std::uint16_t h) {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000) << 16;
    const std::uint32_t exponent = (h >> 10) & 0x1f;
    const std::uint32_t mantissa = h & 0x3ff;
    if (exponent == 0x1f) return quieted(sign | infinity_bits | (mantissa << 13));
    if (exponent == 0) {
        // A subnormal half is mantissa * 2^-24, a normal float32.
        float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return sign != 0 ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

template <class U>
U load_bits(const unsigned char* p, bool swapped) {
    U u = 0;
    std::memcpy(&u, p, sizeof u);  // foreign memory need not be aligned
    if (!swapped) return u;
    if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(u));
    if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
    if constexpr (sizeof(U) == 8) return __builtin_bswap64(u);
    return u;
}

// One element as the sequence path converts its Python value: integers
// become the nearest double first, as float(int) does, then every value is
// narrowed to float32.
template <ElementType T, bool Swapped>
float load(const unsigned char* p) {
    using E = ElementType;
    if constexpr (T == E::int8) return static_cast<float>(static_cast<std::int8_t>(*p));
    if constexpr (T == E::uint8) return static_cast<float>(*p);
    if constexpr (T == E::boolean) return *p != 0 ? 1.0f : 0.0f;
    if constexpr (T == E::int16)
        return static_cast<float>(static_cast<std::int16_t>(load_bits<std::uint16_t>(p, Swapped)));
    if constexpr (T == E::uint16) return static_cast<float>(load_bits<std::uint16_t>(p, Swapped));
    if constexpr (T == E::int32)
        return static_cast<float>(
            static_cast<double>(static_cast<std::int32_t>(load_bits<std::uint32_t>(p, Swapped))));
    if constexpr (T == E::uint32)
        return static_cast<float>(static_cast<double>(load_bits<std::uint32_t>(p, Swapped)));
    if constexpr (T == E::int64)
        return static_cast<float>(
            static_cast<double>(static_cast<std::int64_t>(load_bits<std::uint64_t>(p, Swapped))));
    if constexpr (T == E::uint64)
        return static_cast<float>(static_cast<double>(load_bits<std::uint64_t>(p, Swapped)));
    if constexpr (T == E::float16) return from_half(load_bits<std::uint16_t>(p, Swapped));
    if constexpr (T == E::bfloat16)
        return quieted(static_cast<std::uint32_t>(load_bits<std::uint16_t>(p, Swapped)) << 16);
    if constexpr (T == E::float32) return quieted(load_bits<std::uint32_t>(p, Swapped));
    if constexpr (T == E::float64)
        return static_cast<float>(std::bit_cast<double>(load_bits<std::uint64_t>(p, Swapped)));
}

constexpr std::size_t size_of(ElementType t) {
    switch (t) {
        case ElementType::int8:
        case ElementType::uint8:
        case ElementType::boolean: return 1;
        case ElementType::int16:
        case ElementType::uint16:
        case ElementType::float16:
        case ElementType::bfloat16: return 2;
        case ElementType::int32:
        case ElementType::uint32:
        case ElementType::float32: return 4;
        case ElementType::int64:
        case ElementType::uint64:
        case ElementType::float64: return 8;
    }
    return 0;
}

// Elements are found by their byte offset from the first one: check_view has
// made sure that every offset lies within one object's span.
using Offset = std::ptrdiff_t;

// One run of n elements; contiguous runs get their own loop, which the
// compiler vectorises.
template <ElementType T, bool Swapped>
void read_run(const unsigned char* p, std::int64_t stride, std::size_t n, float* out) {
    constexpr auto size = static_cast<std::int64_t>(size_of(T));
    if (stride == size) {
        for (std::size_t i = 0; i < n; ++i) out[i] = load<T, Swapped>(p + i * size);
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = load<T, Swapped>(p + Offset(i) * stride);
    }
}

template <ElementType T, bool Swapped>
void read_all(const StridedView& v, float* out) {
    // Dimensions of length 1 drop out, and a dimension that steps exactly
    // over the one inside it merges with it, so a contiguous block of any
    // shape is one run.
    std::vector<std::int64_t> shape, strides;
    for (std::size_t d = 0; d < v.shape.size(); ++d) {
        if (v.shape[d] == 0) return;
        if (v.shape[d] == 1) continue;
        if (!shape.empty() && static_cast<__int128>(strides.back()) ==
                                  static_cast<__int128>(v.strides[d]) * v.shape[d]) {
            shape.back() *= v.shape[d];
            strides.back() = v.strides[d];
        } else {
            shape.push_back(v.shape[d]);
            strides.push_back(v.strides[d]);
        }
    }
    if (shape.empty()) {
        *out = load<T, Swapped>(v.data);
        return;
    }
    const auto inner = static_cast<std::size_t>(shape.back());
    const std::int64_t inner_stride = strides.back();
    const std::size_t outer = shape.size() - 1;
    std::vector<std::int64_t> index(outer, 0);
    Offset at = 0;
    for (bool more = true; more;) {
        read_run<T, Swapped>(v.data + at, inner_stride, inner, out);
        out += inner;
        // The next index of the outer dimensions, last one fastest.
        more = false;
        for (std::size_t d = outer; d-- > 0;) {
            if (++index[d] < shape[d]) {
                at += strides[d];
                more = true;
                break;
            }
            at -= strides[d] * (shape[d] - 1);
            index[d] = 0;
        }
    }
}

template <ElementType T>
void read_typed(const StridedView& v, float* out) {
    if (v.swapped && size_of(T) > 1)
        read_all<T, true>(v, out);
    else
        read_all<T, false>(v, out);
}

}  // namespace

std::size_t item_size(ElementType type) { return size_of(type); }

Checked check_view(const StridedView& v) {
    Checked c;
    if (v.shape.size() > max_dimensions) {
        c.error = "has " + std::to_string(v.shape.size()) + " dimensions, more than " +
                  std::to_string(max_dimensions);
        return c;
    }
    if (v.strides.size() != v.shape.size()) {
        c.error = "has " + std::to_string(v.strides.size()) + " strides for " +
                  std::to_string(v.shape.size()) + " dimensions";
        return c;
    }
    std::size_t count = 1;
    bool overflow = false, empty = false;
    for (std::int64_t n : v.shape) {
        if (n < 0) {
            c.error = "has a negative length (" + std::to_string(n) + ")";
            return c;
        }
        empty = empty || n == 0;
        overflow = overflow || __builtin_mul_overflow(count, static_cast<std::size_t>(n), &count);
    }
    if (empty) return c;
    if (overflow) {
        c.error = "has more elements than fit in memory";
        return c;
    }
    if (v.data == nullptr) {
        c.error = "has " + std::to_string(count) + " elements at a null address";
        return c;
    }
    // The lowest and highest byte offsets of an element; 64 dimensions of
    // 64-bit products cannot overflow 128 bits.
    __int128 low = 0, high = 0;
    for (std::size_t d = 0; d < v.shape.size(); ++d) {
        __int128 span = static_cast<__int128>(v.strides[d]) * (v.shape[d] - 1);
        (span < 0 ? low : high) += span;
    }
    const auto base = static_cast<__int128>(reinterpret_cast<std::uintptr_t>(v.data));
    const __int128 extent = high - low + static_cast<__int128>(size_of(v.type));
    // No object spans more than PTRDIFF_MAX bytes.
    if (extent > std::numeric_limits<std::ptrdiff_t>::max()) {
        c.error = "spans more bytes than any object can";
        return c;
    }
    if (base + low < 0 || base + high + static_cast<__int128>(size_of(v.type)) >
                              static_cast<__int128>(std::numeric_limits<std::uintptr_t>::max())) {
        c.error = "has elements outside the address space";
        return c;
    }
    c.count = count;
    return c;
}

std::optional<std::vector<std::int64_t>> row_major_strides(const std::vector<std::int64_t>& shape,
                                                           std::size_t item) {
    std::vector<std::int64_t> strides(shape.size());
    auto step = static_cast<std::int64_t>(item);
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = step;
        if (__builtin_mul_overflow(step, shape[d] > 0 ? shape[d] : 1, &step)) {
            // Only the outermost stride may be the one that does not fit.
            if (d == 0) break;
            return std::nullopt;
        }
    }
    return strides;
}

void read_row_major(const StridedView& v, float* out) {
    using E = ElementType;
    switch (v.type) {
        case E::int8: return read_typed<E::int8>(v, out);
        case E::int16: return read_typed<E::int16>(v, out);
        case E::int32: return read_typed<E::int32>(v, out);
        case E::int64: return read_typed<E::int64>(v, out);
        case E::uint8: return read_typed<E::uint8>(v, out);
        case E::uint16: return read_typed<E::uint16>(v, out);
        case E::uint32: return read_typed<E::uint32>(v, out);
        case E::uint64: return read_typed<E::uint64>(v, out);
        case E::boolean: return read_typed<E::boolean>(v, out);
        case E::float16: return read_typed<E::float16>(v, out);
        case E::bfloat16: return read_typed<E::bfloat16>(v, out);
        case E::float32: return read_typed<E::float32>(v, out);
        case E::float64: return read_typed<E::float64>(v, out);
    }
}

}  // namespace kestrix
