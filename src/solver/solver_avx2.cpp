// AVX2 solver kernels. Built with -mavx2; reached only on processors that
// report it. Everything here has internal linkage so that no code compiled
// for AVX2 can be picked by the linker for a baseline caller.
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

constexpr std::size_t lanes = 8;

float predict_one(const float* row, std::size_t c, const float* w, float bias) {
    float p = bias;
    for (std::size_t j = 0; j < c; ++j) p = p + w[j] * row[j];
    return p;
}

// All bits set in lanes below n (n <= 8), for the masked loads and stores.
__m256i low_lanes(std::size_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// acc[j] = acc[j] + e * row[j] for every column, through memory (wide rows).
void accumulate_row(float* acc, const float* row, std::size_t c, float e) {
    __m256 ve = _mm256_set1_ps(e);
    std::size_t t = 0;
    for (; t + lanes <= c; t += lanes)
        _mm256_storeu_ps(acc + t, _mm256_add_ps(_mm256_loadu_ps(acc + t),
                                                _mm256_mul_ps(ve, _mm256_loadu_ps(row + t))));
    if (t < c) {
        __m256i m = low_lanes(c - t);
        __m256 sum = _mm256_add_ps(_mm256_maskload_ps(acc + t, m),
                                   _mm256_mul_ps(ve, _mm256_maskload_ps(row + t, m)));
        _mm256_maskstore_ps(acc + t, m, sum);
    }
}

// Rows of at most 8 columns: the gradient sums stay in one register, so
// the chain from one sample to the next is a single vector addition.
void gradient_fold_narrow(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    const std::size_t c = in.cols;
    const __m256i m = low_lanes(c);
    __m256 gw = _mm256_maskload_ps(acc, m);
    float gb = acc[c];
    for (std::size_t i = lo; i < hi; ++i) {
        const float* row = in.x + i * c;
        float e = predict_one(row, c, in.w, in.bias) - in.y[i];
        gw = _mm256_add_ps(gw, _mm256_mul_ps(_mm256_set1_ps(e), _mm256_maskload_ps(row, m)));
        gb = gb + e;
    }
    _mm256_maskstore_ps(acc, m, gw);
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

void gradient_fold_avx2(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    if (in.cols <= lanes)
        gradient_fold_narrow(in, lo, hi, acc);
    else
        gradient_fold_wide(in, lo, hi, acc);
}

void predict_rows_avx2(const float* x, std::size_t c, const float* w, float bias, std::size_t lo,
                       std::size_t hi, float* out) {
    for (std::size_t r = lo; r < hi; ++r) out[r] = predict_one(x + r * c, c, w, bias);
}

constexpr SolverKernels avx2{"avx2", gradient_fold_avx2, predict_rows_avx2};

}  // namespace

const SolverKernels& detail::solver_kernels_avx2() noexcept { return avx2; }

}  // namespace kestrix
