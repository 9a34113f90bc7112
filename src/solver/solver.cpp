#include "solver/solver.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "base/fault.h"
#include "base/order.h"
#include "kernels/table.h"
#include "pool/loops.h"
#include "pool/split.h"

namespace kestrix {
namespace {

// Largest float count whose byte size can exist; checked before c + 1 is
// formed, so that a column count near 2^64 cannot wrap into a small buffer.
constexpr std::uint64_t max_floats = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float);

// The data must hold exactly rows * cols floats, or the passes would read
// past its end.
void check_shape(const Matrix& x) {
    std::uint64_t len = 0;
    if (__builtin_mul_overflow(x.rows, x.cols, &len) || len != x.data.size())
        fail("Data length does not match rows * cols");
}

// What one column of one sample costs a gradient pass, in nanoseconds (0.11
// to 0.2 measured on one Zen 4 core from 10^3 x 8 to 10^4 x 16).
constexpr double row_ns_per_column = 0.15;

// A gradient accumulator of n floats. Up to 32 live inline, so that the many
// small leaves of a fit over few samples allocate nothing.
class Gradient {
public:
    explicit Gradient(std::size_t n) : n_(n) {
        if (n > inline_floats)
            heap_.assign(n, 0.0f);
        else
            std::fill_n(inline_, n, 0.0f);
    }
    float* data() { return n_ > inline_floats ? heap_.data() : inline_; }
    const float* data() const { return n_ > inline_floats ? heap_.data() : inline_; }

private:
    static constexpr std::size_t inline_floats = 32;
    std::size_t n_;
    float inline_[inline_floats];
    FloatSeq heap_;
};

// A sample's share of a pass: two short dot products over its columns.
ItemCost row_cost(std::size_t cols) { return {row_ns_per_column * static_cast<double>(cols + 1)}; }

// One gradient pass: the sums of e * x[i][j] (first c entries) and of e
// (entry c) over all samples, e being the error at the current parameters.
Gradient gradient_pass(Pool& pool, const Solver& solver, const Matrix& x, const FloatSeq& y,
                       GradientFold fold, float* panels, bool panels_ready) {
    const std::size_t c = x.cols;
    const GradientInput in{x.data.data(), y.data(),    solver.weights.data(), solver.bias, c,
                           panels,        panels_ready};
    auto identity = [c] { return Gradient(c + 1); };
    auto combine = [c](Gradient left, const Gradient& right) {
        float* l = left.data();
        const float* r = right.data();
        for (std::size_t j = 0; j <= c; ++j) l[j] = order::add(l[j], r[j]);
        return left;
    };
    return parallel_fold_reduce(
        pool, x.rows, identity,
        [&](Gradient& acc, std::size_t lo, std::size_t hi) {
            // Samples below len(y) fold without effect on a failing leaf, so
            // the leaf may fail before folding them.
            if (hi > y.size()) fail_index(lo > y.size() ? lo : y.size(), y.size());
            fold(in, lo, hi, acc.data());
        },
        combine, row_cost(c));
}

// Regrouped rows cost a second copy of x, read beside x by every pass: past
// the caches its memory traffic costs more than the shuffles it saves.
constexpr std::size_t panel_limit = std::size_t{1} << 20;  // floats of x

// Rows without columns: each prediction is the bias, with no term to add.
FloatSeq bias_only(float bias, std::uint64_t rows, Pool& pool) {
    if (rows > max_floats) fail("capacity overflow");
    FloatSeq out(rows);
    float* o = out.data();
    parallel_leaves(pool, rows,
                    [&](std::size_t lo, std::size_t hi) { std::fill(o + lo, o + hi, bias); });
    return out;
}

}  // namespace

void fit(Solver& solver, const Matrix& x, const FloatSeq& y, PoolRef pool) {
    if (x.cols > max_floats) fail("capacity overflow");
    check_shape(x);
    solver.weights = FloatSeq(x.cols, 0.0f);
    solver.bias = 0.0f;
    const auto nf = static_cast<float>(x.rows);
    const float lr = solver.lr;
    const std::uint64_t iters = solver.iters;
    if (iters == 0) return;
    Pool& p = pool.get();
    // Where the kernels regroup rows (see GradientInput), a fit of three steps
    // or more lets its first pass copy them: the copy slows that pass, and
    // only the passes after it repay it.
    const SolverKernels& ks = active_table().solver;
    FloatSeq panels;
    if (iters > 2 && x.cols != 0 && x.cols <= ks.panel_cols && x.data.size() <= panel_limit)
        panels = FloatSeq((x.rows + 7) / 8 * 8 * x.cols);
    for (std::uint64_t step = 0; step < iters; ++step) {
        Gradient sums = gradient_pass(p, solver, x, y, ks.gradient_fold,
                                      panels.empty() ? nullptr : panels.data(), step != 0);
        const float* g = sums.data();
        float* w = solver.weights.data();
        for (std::size_t j = 0; j < x.cols; ++j) w[j] = w[j] - order::mul(g[j] / nf, lr);
        solver.bias = solver.bias - order::mul(g[x.cols] / nf, lr);
    }
}

FloatSeq predict(const Solver& solver, const Matrix& x, PoolRef pool) {
    const std::size_t c = x.cols;
    if (c == 0) return bias_only(solver.bias, x.rows, pool.get());
    const std::size_t len = x.data.size();
    const std::size_t rows = chunk_count(len, c);
    const std::size_t w_len = solver.weights.size();
    Pool& p = pool.get();
    FloatSeq out(rows);
    const float* data = x.data.data();
    float* o = out.data();
    const PredictRows kernel = active_table().solver.predict_rows;
    parallel_leaves(p, rows, [&](std::size_t lo, std::size_t hi) {
        if (lo == hi) return;
        // Every row of this leaf would fail at the same column.
        if (c > w_len) fail_index(w_len, w_len);
        // A short last run of data (never made by make_matrix) lacks the
        // columns from its length on.
        std::size_t full = hi;
        if (hi == rows && len % c != 0) full = hi - 1;
        kernel(data, c, solver.weights.data(), solver.bias, lo, full, o);
        if (full != hi) fail_index(len % c, len % c);
    });
    return out;
}

}  // namespace kestrix
