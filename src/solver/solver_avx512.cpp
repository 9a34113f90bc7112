// AVX-512 solver kernels. Built with -mavx512f; reached only on processors
// that report it. Everything here has internal linkage so that no code
// compiled for AVX-512 can be picked by the linker for a baseline caller.
//
// A sample's prediction is a chain of c dependent additions; consecutive
// samples overlap in the out-of-order core. Lanes across samples would need
// the rows transposed, and both gathers and a transposing tile measured
// slower than the scalar chains here. The gain is in the gradient: one
// sample's terms go into all c sums at once, held in a register.
#include <immintrin.h>

#include "solver/solver_kernels.h"

namespace kestrix {
namespace {

constexpr std::size_t lanes = 16;

float predict_one(const float* row, std::size_t c, const float* w, float bias) {
    float p = bias;
    for (std::size_t j = 0; j < c; ++j) p = p + w[j] * row[j];
    return p;
}

__mmask16 low_lanes(std::size_t n) { return static_cast<__mmask16>((1u << n) - 1u); }

// acc[j] = acc[j] + e * row[j] for every column, through memory (wide rows).
void accumulate_row(float* acc, const float* row, std::size_t c, float e) {
    __m512 ve = _mm512_set1_ps(e);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes)
        _mm512_storeu_ps(acc + t, _mm512_add_ps(_mm512_loadu_ps(acc + t),
                                                _mm512_mul_ps(ve, _mm512_loadu_ps(row + t))));
    if (t < c) {
        __mmask16 m = low_lanes(c - t);
        __m512 sum = _mm512_add_ps(_mm512_maskz_loadu_ps(m, acc + t),
                                   _mm512_mul_ps(ve, _mm512_maskz_loadu_ps(m, row + t)));
        _mm512_mask_storeu_ps(acc + t, m, sum);
    }
}

// Rows of at most 16 columns: the gradient sums stay in one register, so
// the chain from one sample to the next is a single vector addition.
void gradient_fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    const __mmask16 m = low_lanes(c);
    __m512 gw = _mm512_maskz_loadu_ps(m, acc);
    float gb = acc[c];
    for (std::size_t i = lo; i < hi; ++i) {
        const float* row = in.x + i * c;
        float e = predict_one(row, c, in.w, in.bias) - in.y[i];
        gw = _mm512_add_ps(gw, _mm512_mul_ps(_mm512_set1_ps(e), _mm512_maskz_loadu_ps(m, row)));
        gb = gb + e;
    }
    _mm512_mask_storeu_ps(acc, m, gw);
    acc[c] = gb;
}

void gradient_fold_wide(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    float gb = acc[c];
    for (std::size_t i = lo; i < hi; ++i) {
        const float* row = in.x + i * c;
        float e = predict_one(row, c, in.w, in.bias) - in.y[i];
        accumulate_row(acc, row, c, e);
        gb = gb + e;
    }
    acc[c] = gb;
}

void gradient_fold_avx512(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    if (in.cols <= lanes)
        gradient_fold_narrow(in, lo, hi, acc);
    else
        gradient_fold_wide(in, lo, hi, acc);
}

void predict_rows_avx512(const float* x, std::size_t c, const float* w, float bias, std::size_t lo,
                         std::size_t hi, float* out) {
    for (std::size_t r = lo; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels avx512{"avx512", gradient_fold_avx512, predict_rows_avx512};

}  // namespace

const SolverKernels& detail::solver_kernels_avx512() noexcept { return avx512; }

}  // namespace kestrix
