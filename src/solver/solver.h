#pragma once
#include <cstdint>

#include "base/float_seq.h"
#include "matrix/matrix.h"
#include "pool/pool.h"

namespace kestrix {

struct Solver {
    FloatSeq weights;  // one per column of the last training matrix
    float bias = 0.0f;
    float lr = 0.0f;
    std::uint64_t iters = 0;
};

// Resets the model to X.cols zero weights and bias 0, then makes `iters`
// full-batch gradient steps. Fails with the index message when y is shorter
// than X's rows (the model then holds the reset values) and with "capacity
// overflow" when the weights cannot exist.
void fit(Solver& solver, const Matrix& x, const FloatSeq& y, PoolRef pool = {});

// One prediction per row of x: bias plus weights[j] * x[r][j], j ascending
// (x without columns: the bias for each row). Fails with the index message
// (len W, index W) when x has more columns than weights, and with "capacity
// overflow" when the predictions cannot exist.
FloatSeq predict(const Solver& solver, const Matrix& x, PoolRef pool = {});

}  // namespace kestrix
