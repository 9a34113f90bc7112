#pragma once
// Numeric data read straight from memory: numpy arrays of every integer,
// bool and float dtype, array.array and memoryviews of float32 or float64
// elements.
#include <optional>

#include "base/float_seq.h"
#include "boundary/python.h"

namespace kestrix::py {

// The elements of an exact numpy.ndarray of a signed or unsigned integer,
// bool, float16, float32 or float64 dtype in either byte order (through its
// array interface), or of an exact array.array or memoryview whose
// format is float or double (through the buffer protocol), in row-major
// order, each exactly as the sequence path would have converted it. Empty
// for anything else, with nothing pending: such objects take the sequence
// path. Runs no Python code, so nothing can change the source while it is
// read.
std::optional<FloatSeq> read_float_array(PyObject* o);

}  // namespace kestrix::py
