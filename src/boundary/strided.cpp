#include "boundary/strided.h"

#include <bit>
#include <cstring>
#include <limits>

namespace kestrix::py {
namespace {

// "<f4" and "<f8" data is read as native floats.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint32_t magnitude_bits = 0x7fffffff;
constexpr std::uint32_t infinity_bits = 0x7f800000;
constexpr std::uint32_t quiet_bit = 0x00400000;

// Loads are byte copies: foreign memory need not be aligned.
template <ElementType T>
float load(const unsigned char* p) {
    if constexpr (T == ElementType::float32) {
        std::uint32_t u = 0;
        std::memcpy(&u, p, sizeof u);
        // A float32 widened to a double and narrowed back keeps its bits,
        // except that a NaN comes back quiet. Done on the bits, since the
        // compiler may drop a round trip through double.
        u |= (u & magnitude_bits) > infinity_bits ? quiet_bit : 0;
        return std::bit_cast<float>(u);
    } else {
        double d = 0;
        std::memcpy(&d, p, sizeof d);
        return static_cast<float>(d);
    }
}

// One run of n elements; contiguous runs get their own loop, which the
// compiler vectorises.
template <ElementType T>
void read_run(const unsigned char* p, std::int64_t stride, std::size_t n, float* out) {
    constexpr auto size = static_cast<std::int64_t>(T == ElementType::float32 ? 4 : 8);
    if (stride == size) {
        for (std::size_t i = 0; i < n; ++i) out[i] = load<T>(p + i * size);
    } else {
        for (std::size_t i = 0; i < n; ++i, p += stride) out[i] = load<T>(p);
    }
}

template <ElementType T>
void read_all(const StridedView& v, float* out) {
    // Dimensions of length 1 drop out, and a dimension that steps exactly
    // over the one inside it merges with it, so a contiguous block of any
    // shape is one run.
    std::vector<std::int64_t> shape, strides;
    for (std::size_t d = 0; d < v.shape.size(); ++d) {
        if (v.shape[d] == 0) return;
        if (v.shape[d] == 1) continue;
        if (!shape.empty() && strides.back() == v.strides[d] * v.shape[d]) {
            shape.back() *= v.shape[d];
            strides.back() = v.strides[d];
        } else {
            shape.push_back(v.shape[d]);
            strides.push_back(v.strides[d]);
        }
    }
    if (shape.empty()) {
        *out = load<T>(v.data);
        return;
    }
    const auto inner = static_cast<std::size_t>(shape.back());
    const std::int64_t inner_stride = strides.back();
    const std::size_t outer = shape.size() - 1;
    std::vector<std::int64_t> index(outer, 0);
    const unsigned char* p = v.data;
    for (bool more = true; more;) {
        read_run<T>(p, inner_stride, inner, out);
        out += inner;
        // The next index of the outer dimensions, last one fastest.
        more = false;
        for (std::size_t d = outer; d-- > 0;) {
            if (++index[d] < shape[d]) {
                p += strides[d];
                more = true;
                break;
            }
            p -= strides[d] * (shape[d] - 1);
            index[d] = 0;
        }
    }
}

}  // namespace

std::size_t item_size(ElementType type) { return type == ElementType::float32 ? 4 : 8; }

bool element_count(const std::vector<std::int64_t>& shape, std::size_t& count) {
    count = 1;
    for (std::int64_t n : shape) {
        if (n < 0) return false;
        if (n == 0) {
            count = 0;
            return true;
        }
    }
    for (std::int64_t n : shape) {
        auto u = static_cast<std::size_t>(n);
        if (count > std::numeric_limits<std::size_t>::max() / u) return false;
        count *= u;
    }
    return true;
}

std::vector<std::int64_t> row_major_strides(const std::vector<std::int64_t>& shape,
                                            ElementType type) {
    std::vector<std::int64_t> strides(shape.size());
    auto step = static_cast<std::int64_t>(item_size(type));
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = step;
        step *= shape[d] > 0 ? shape[d] : 1;
    }
    return strides;
}

void read_row_major(const StridedView& v, float* out) {
    if (v.type == ElementType::float32)
        read_all<ElementType::float32>(v, out);
    else
        read_all<ElementType::float64>(v, out);
}

}  // namespace kestrix::py
