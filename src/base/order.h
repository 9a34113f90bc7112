#pragma once
// The operand-order rule every kernel follows. When both operands of a
// multiply or an add are NaN, the result carries the first one's payload, so
// which operand is first is part of every result's bits. (x86-64 always keeps
// the first NaN; aarch64 prefers a signalling one, but data reaches the core
// with its NaNs quiet, as a Python float's would be, and no operation makes
// a signalling NaN.)
//
//   product step      c = (b[k][j] * a[i][k]) + c   right operand's element first,
//                                                   then the product first
//   prediction step   p = p + (w[j] * x[j])         running sum first, weight first
//   error             e = p - y
//   gradient step     g = g + (e * x[j])            running sum first, error first
//   partial sums      left + right
//   element maps      x + v, x * v                  the element first
//
// The compiler may swap the operands of a commutative `*` or `+`, or of the
// intrinsics, so the kernels multiply and add only through these helpers and
// their vector forms (kernels/<variant>/ops.h),
// which name the instruction and its operand order.
//
// Internal linkage throughout: a file built for AVX gets the VEX forms, and
// no copy reaches a caller built for another instruction set.

namespace kestrix::order {
namespace {

#if defined(__x86_64__) && defined(__AVX__)
[[gnu::always_inline]] inline float mul(float first, float second) {
    float r;
    __asm__("vmulss %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}
[[gnu::always_inline]] inline float add(float first, float second) {
    float r;
    __asm__("vaddss %2, %1, %0" : "=v"(r) : "v"(first), "vm"(second));
    return r;
}
#elif defined(__x86_64__)
[[gnu::always_inline]] inline float mul(float first, float second) {
    __asm__("mulss %1, %0" : "+x"(first) : "xm"(second));
    return first;
}
[[gnu::always_inline]] inline float add(float first, float second) {
    __asm__("addss %1, %0" : "+x"(first) : "xm"(second));
    return first;
}
#elif defined(__aarch64__)
[[gnu::always_inline]] inline float mul(float first, float second) {
    __asm__("fmul %s0, %s0, %s1" : "+w"(first) : "w"(second));
    return first;
}
[[gnu::always_inline]] inline float add(float first, float second) {
    __asm__("fadd %s0, %s0, %s1" : "+w"(first) : "w"(second));
    return first;
}
#else
// Elsewhere the compiler's own operations, in the order written.
inline float mul(float first, float second) { return first * second; }
inline float add(float first, float second) { return first + second; }
#endif

}  // namespace
}  // namespace kestrix::order
