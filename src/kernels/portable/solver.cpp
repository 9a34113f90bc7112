// The baseline's solver loops on processors other than x86-64: one sample at
// a time, in portable code.
#include "kernels/portable/kernels.h"

#include "kernels/sample_loops.h"

namespace kestrix::kernels::portable {
namespace {

void gradient_fold_baseline(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc) {
    float gb = acc[in.cols];
    gradient_tail(in, lo, hi, acc, gb);
    acc[in.cols] = gb;
}

void predict_rows_baseline(const float* x, std::size_t cols, const float* w, float bias,
                           std::size_t lo, std::size_t hi, float* out) {
    for (std::size_t r = lo; r < hi; ++r) out[r] = predict_one(x + r * cols, cols, w, bias);
}

constexpr SolverKernels baseline{"baseline", gradient_fold_baseline, predict_rows_baseline, 0};

}  // namespace

const SolverKernels& solver() noexcept { return baseline; }

}  // namespace kestrix::kernels::portable
