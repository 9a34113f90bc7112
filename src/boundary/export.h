#pragma once
// A matrix's buffer handed out: the array interface and DLPack capsules.
// Every export holds a strong reference to the matrix that owns the memory,
// so the memory outlives the matrix's last other user, and no export lets a
// consumer write to a matrix.
#include "boundary/error.h"
#include "matrix/matrix.h"

namespace kestrix::py {

// The version 3 array interface of m, without a copy: "<f4", shape (rows,
// cols), row-major, read-only; a matrix without elements gives a valid
// address all the same.
PyRef array_interface(const Matrix& m);

// The DLPack capsule of the matrix `owner`, whose record is m, for the
// keyword arguments stream, max_version, dl_device and copy (each empty when
// not given). max_version (1, 0) or later gives a versioned capsule
// ("dltensor_versioned") of the matrix's own memory, flagged read-only;
// anything else the plain "dltensor" capsule, which cannot say read-only, of
// a private copy (BufferError when copy=False forbids one). copy=True always
// exports a private, writable copy.
Result<PyRef> dlpack_capsule(PyObject* owner, const Matrix& m, const PyRef& stream,
                             const PyRef& max_version, const PyRef& dl_device, const PyRef& copy);

// (1, 0): the CPU.
PyRef dlpack_device();

}  // namespace kestrix::py
