#pragma once
#include <cstdint>

#include "base/float_seq.h"
#include "pool/pool.h"

namespace kestrix {

struct Matrix {  // row-major: (i, j) lives at data[i * cols + j]
    FloatSeq data;
    std::uint64_t rows = 0, cols = 0;
};

// Fails with "Data length does not match rows * cols" unless data.size() is
// the exact product rows * cols (a product that overflows never matches).
Matrix make_matrix(FloatSeq data, std::uint64_t rows, std::uint64_t cols);

// Element k = data[k] + v, one float32 addition each.
Matrix add(const Matrix& m, float v, PoolRef pool = {});
// Element k = data[k] * v, one float32 multiplication each.
Matrix mul(const Matrix& m, float v, PoolRef pool = {});

// The (cols, rows) matrix of m's columns; a matrix without rows gives the
// empty (cols, 0) matrix.
Matrix transpose(const Matrix& m, PoolRef pool = {});

// a * b, each element summed over k ascending from +0.0 as fl(fl(a*b) + c).
// Requires a.cols == b.rows (the caller reports a mismatch). Fails with
// "capacity overflow" above 2^61 - 1 elements; b without columns gives the
// empty (a.rows, 0) matrix.
Matrix matmul(const Matrix& a, const Matrix& b, PoolRef pool = {});

}  // namespace kestrix
