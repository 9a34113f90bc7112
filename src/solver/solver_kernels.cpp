#include "solver/solver_kernels.h"

#include <atomic>

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

std::atomic<const SolverKernels*> override_kernels{nullptr};

const SolverKernels& widest_supported() noexcept {
    if (const SolverKernels* k = solver_kernels_for(SolverIsa::avx512)) return *k;
    if (const SolverKernels* k = solver_kernels_for(SolverIsa::avx2)) return *k;
    return baseline;
}

}  // namespace

const SolverKernels* solver_kernels_for(SolverIsa isa) noexcept {
    switch (isa) {
        case SolverIsa::baseline: return &baseline;
        case SolverIsa::avx2:
            return __builtin_cpu_supports("avx2") ? &detail::solver_kernels_avx2() : nullptr;
        case SolverIsa::avx512:
            return __builtin_cpu_supports("avx512f") ? &detail::solver_kernels_avx512() : nullptr;
    }
    return nullptr;
}

const SolverKernels& solver_kernels() noexcept {
    if (const SolverKernels* k = override_kernels.load(std::memory_order_acquire)) return *k;
    static const SolverKernels& chosen = widest_supported();
    return chosen;
}

void set_solver_kernels_override(const SolverKernels* kernels) noexcept {
    override_kernels.store(kernels, std::memory_order_release);
}

}  // namespace kestrix
