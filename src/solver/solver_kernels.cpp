#include "solver/solver_kernels.h"

#include "solver/sample_loops.h"

namespace kestrix {
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

const SolverKernels* solver_kernels_for(Isa isa) noexcept {
    if (!isa_supported(isa)) return nullptr;
    switch (isa) {
#if KESTRIX_X86_VARIANTS
        case Isa::avx512: return &detail::solver_kernels_avx512();
        case Isa::avx2: return &detail::solver_kernels_avx2();
#endif
#if KESTRIX_NEON_VARIANT
        case Isa::neon: return &detail::solver_kernels_neon();
#endif
        default: break;
    }
    return &baseline;
}

const SolverKernels& solver_kernels() noexcept { return *solver_kernels_for(active_isa()); }

}  // namespace kestrix
