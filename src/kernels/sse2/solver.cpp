// The x86-64 baseline's solver loops: blocks of 4 samples in SSE2 registers.
#include <emmintrin.h>

#include "kernels/blocks4.h"
#include "kernels/sse2/kernels.h"
#include "kernels/sse2/ops.h"

namespace kestrix::kernels::sse2 {
namespace {

struct Sse2 {
    using vec = __m128;
    static vec load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, vec v) { _mm_storeu_ps(p, v); }
    static vec splat(float x) { return _mm_set1_ps(x); }
    static vec gather(const float* p, std::size_t s) {
        return _mm_setr_ps(p[0], p[s], p[2 * s], p[3 * s]);
    }
    static vec add(vec x, vec y) { return order::add(x, y); }
    static vec mul(vec x, vec y) { return order::mul(x, y); }
    static vec sub(vec x, vec y) { return _mm_sub_ps(x, y); }
    static void transpose(vec& r0, vec& r1, vec& r2, vec& r3) { _MM_TRANSPOSE4_PS(r0, r1, r2, r3); }
};

using Loops = Blocks4<Sse2>;
constexpr SolverKernels baseline{"baseline", Loops::gradient_fold, Loops::predict_rows, 0};

}  // namespace

const SolverKernels& solver() noexcept { return baseline; }

}  // namespace kestrix::kernels::sse2
