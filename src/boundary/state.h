#pragma once
// The state of the two classes as plain Python values, which is what pickle,
// copy and a reader of a model's parameters see. Every state carries a
// format version, so that later releases can still read today's.
//
//   KestrixMatrix: {"version": 1, "rows": int, "cols": int,
//                   "data": rows * cols little-endian float32 values as bytes}
//   KestrixSolver: {"version": 1, "lr": float, "iters": int,
//                   "weights": array.array("f"), "bias": float}
//
// Pickles carry the solver's floats as their float32 bytes instead
// ("lr": 4 bytes, "weights": 4 bytes each, "bias": 4 bytes), which every
// protocol keeps bit for bit; a state may use either form for each value.
// A state being read back is checked whole before anything is built from it.
#include <cstdint>

#include "boundary/error.h"
#include "matrix/matrix.h"
#include "solver/solver.h"

namespace kestrix::py {

// The one format version written, and the newest one read.
constexpr long state_version = 1;

PyRef matrix_state(const Matrix& m);
Result<PyRef> solver_state(const Solver& s);
// The solver's state in the form pickles carry.
PyRef solver_state_packed(const Solver& s);

// The record a state describes, or TypeError (a value of the wrong type) or
// ValueError (a wrong version, a missing or unknown key, a count out of
// range, data of the wrong length) with a message that names the class and
// what is wrong.
Result<Matrix> matrix_from_state(PyObject* state);
Result<Solver> solver_from_state(PyObject* state);

// The matrix's state with its data as a pickle.PickleBuffer, which a
// protocol 5 pickler sends out of band when it has a buffer_callback. On 3.11
// and later the buffer is the matrix's own memory, kept alive by the buffer;
// before, the buffer protocol cannot be offered by a module built for the 3.8
// stable ABI, and it is a copy.
Result<PyRef> matrix_state_out_of_band(PyObject* self, const Matrix& m);

// The (callable, args) pair of __reduce_ex__: calling `restore` with the
// state rebuilds the instance.
PyRef reduction(PyObject* restore, PyRef state);

}  // namespace kestrix::py
