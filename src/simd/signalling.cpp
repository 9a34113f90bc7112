#include "simd/signalling.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestrix::simd {
namespace {

// Blocks short enough to stop soon after the first find, long enough for the
// compiler to vectorise the test across them.
constexpr std::size_t scan_block = 1024;

std::uint32_t bits_of(float v) noexcept { return std::bit_cast<std::uint32_t>(v); }

}  // namespace

bool holds_signalling(const float* p, std::size_t n) noexcept {
    for (std::size_t lo = 0; lo < n; lo += scan_block) {
        const std::size_t hi = std::min(n, lo + scan_block);
        bool found = false;
        for (std::size_t i = lo; i < hi; ++i) {
            std::uint32_t u;
            std::memcpy(&u, p + i, sizeof u);
            found |= is_signalling_bits(u);
        }
        if (found) return true;
    }
    return false;
}

float quieted(float v) noexcept {
    const std::uint32_t u = bits_of(v);
    return is_signalling_bits(u) ? std::bit_cast<float>(u | quiet_bit) : v;
}

FloatSeq quieted_copy(const FloatSeq& data) {
    FloatSeq out(data.size());
    std::transform(data.begin(), data.end(), out.begin(), quieted);
    return out;
}

}  // namespace kestrix::simd
