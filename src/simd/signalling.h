#pragma once
// Signalling NaNs in operands that reach arithmetic second.
//
// Which NaN a binary operation returns is the processor's rule. On x86-64 the
// first NaN operand wins, quieted. On aarch64 (default-NaN mode off, as Linux
// leaves it) a signalling NaN wins over a quiet one in either position. The
// two agree everywhere except where the first operand is a quiet NaN and the
// second a signalling one, and quieting an operand never changes an x86-64
// result. So data that may hold signalling NaNs and sits second in an
// operation is quieted first where the processor needs it, and nowhere else.
#include <cstddef>
#include <cstdint>

#include "pool/float_seq.h"

namespace kestrix::simd {

// Whether this processor returns a signalling second operand (quieted) over
// a quiet NaN in the first position.
#if defined(__aarch64__)
inline constexpr bool prefers_signalling = true;
#elif defined(__x86_64__) || defined(__i386__)
inline constexpr bool prefers_signalling = false;
#else
#error "the NaN operand rule of this processor is not known"
#endif

inline constexpr std::uint32_t quiet_bit = 0x00400000u;

constexpr bool is_signalling_bits(std::uint32_t u) noexcept {
    // Exponent all ones, quiet bit clear, some other payload bit set.
    return (u & 0x7fffffffu) - 0x7f800001u < quiet_bit - 1;
}

// Whether p[0, n) holds a signalling NaN.
bool holds_signalling(const float* p, std::size_t n) noexcept;

// data with every signalling NaN quieted (its quiet bit set, sign and
// payload kept); every other value unchanged.
FloatSeq quieted_copy(const FloatSeq& data);

// v quieted if it is a signalling NaN.
float quieted(float v) noexcept;

// Whether data must be replaced by quieted_copy before it meets arithmetic
// as a second operand. Where the processor does not need it, nothing is read.
inline bool needs_quieting(const FloatSeq& data) noexcept {
    if constexpr (prefers_signalling)
        return holds_signalling(data.data(), data.size());
    else
        return false;
}

// data itself, or its quieted copy (kept in `copy`) where needs_quieting.
inline const FloatSeq& second_operand(const FloatSeq& data, FloatSeq& copy) {
    if (!needs_quieting(data)) return data;
    copy = quieted_copy(data);
    return copy;
}

// A scalar second operand: v, quieted where the processor needs it.
inline float second_operand(float v) noexcept {
    if constexpr (prefers_signalling)
        return quieted(v);
    else
        return v;
}

}  // namespace kestrix::simd
