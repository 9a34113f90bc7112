#pragma once
// The hint a spin-wait loop gives the processor on each turn: it lets the
// other hardware thread of the core run and saves power while a flag is
// polled. Every spinning loop of the pool and of the products uses it.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrix {

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

}  // namespace kestrix
