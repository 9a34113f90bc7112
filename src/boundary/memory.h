#pragma once
// A matrix's elements handed out as memory: the address every export points
// at, and a bytes-like object over them.
#include "boundary/error.h"
#include "matrix/matrix.h"

namespace kestrix::py {

// The address of a matrix's first element; one that has none still gets a
// valid, aligned address.
void* element_address(const Matrix& m);

// A read-only bytes-like object over the elements of matrix `owner` without
// a copy, keeping it alive; empty before 3.11, where the buffer protocol
// cannot be offered by a module built for the 3.8 stable ABI.
Result<PyRef> matrix_memory(PyObject* owner);

}  // namespace kestrix::py
