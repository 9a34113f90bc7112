#pragma once
// The two inner loops of the solver, in one variant per instruction set.
// Every variant computes the same bits: each prediction adds its columns in
// ascending order, and the gradient adds one sample's terms to all column
// accumulators at once, samples in ascending order. No sum is ever regrouped.
#include <cstddef>

namespace kestrix {

// Inputs of one gradient pass: x is row-major with `cols` columns; w holds
// `cols` weights.
//
// panels, when not null, regroups x for the passes of one fit in blocks of 8
// samples: column j of sample 8b + k sits at panels[b * 8 * cols + j * 8 + k],
// so a block's column is one aligned vector. The first pass stores every
// sample it folds there (panels_ready false), and the later passes read the
// blocks' columns from it instead of transposing x again.
struct GradientInput {
    const float* x;
    const float* y;
    const float* w;
    float bias;
    std::size_t cols;
    float* panels = nullptr;
    bool panels_ready = false;
};

// Folds samples [lo, hi) ascending into acc (cols gradient sums, then the
// bias sum at acc[cols]). The caller has checked that y covers [lo, hi).
using GradientFold = void (*)(const GradientInput& in, std::size_t lo, std::size_t hi, float* acc);

// out[r] = bias + w[0] * x[r][0] + ... for rows [lo, hi), columns ascending.
using PredictRows = void (*)(const float* x, std::size_t cols, const float* w, float bias,
                             std::size_t lo, std::size_t hi, float* out);

struct SolverKernels {
    const char* name;
    GradientFold gradient_fold;
    PredictRows predict_rows;
    std::size_t panel_cols;  // the widest rows whose passes use panels; 0: none
};

}  // namespace kestrix
