#pragma once
// The hint a spin-wait loop gives the processor on each turn. x86-64 has
// _mm_pause; elsewhere the same name stands for the processor's own hint, so
// that the pool's and the product's spinning code reads alike everywhere.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__aarch64__)
inline void _mm_pause() noexcept { __asm__ __volatile__("yield" ::: "memory"); }
#else
inline void _mm_pause() noexcept {}
#endif
