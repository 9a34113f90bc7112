#pragma once
// What tools see of an instance without reading its elements one by one: its
// repr, its size in memory, and the token by which Dask recognises equal
// matrices.
#include "boundary/error.h"
#include "matrix/matrix.h"
#include "solver/solver.h"

namespace kestrix::py {

// "<kestrix.KestrixMatrix shape=(rows, cols)>".
PyRef matrix_repr(const Matrix& m);
// "<kestrix.KestrixSolver lr=... iters=... trained>" or "... untrained>": a
// solver is untrained while it is what a new one is, no weights and bias 0.
PyRef solver_repr(const Solver& s);

// The instance's own bytes plus those of its elements.
PyRef size_in_memory(std::size_t instance_size, const FloatSeq& elements);

// ("kestrix.KestrixMatrix", rows, cols, SHA-256 hex digest of the elements'
// bytes) of the matrix `owner`: equal shapes and bits give one token.
Result<PyRef> matrix_token(PyObject* owner, const Matrix& m);

}  // namespace kestrix::py
