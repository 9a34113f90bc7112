#pragma once
// The span that keeps two independently written atomics from slowing each
// other: x86-64 cores fetch lines of 64 bytes; aarch64 cores have lines of 64
// or 128 bytes, and some fetch adjacent lines in pairs, so 128 there.
#include <cstddef>

namespace kestrix {

#if defined(__aarch64__)
inline constexpr std::size_t sharing_span = 128;
#else
inline constexpr std::size_t sharing_span = 64;
#endif

}  // namespace kestrix
