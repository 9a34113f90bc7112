#pragma once
// Conversions of arguments to native values and of results back to Python.
#include <cstdint>
#include <utility>

#include "base/float_seq.h"
#include "boundary/access.h"
#include "boundary/error.h"

namespace kestrix::py {

// The error to raise for parameter `name`: an exact TypeError is rewrapped as
// "argument '{name}': {text}"; anything else passes unchanged.
PyErr argument_error(const char* name, PyErr err);

// Any sequence but str, iterated, each item narrowed to the nearest float32;
// numpy arrays and float buffers (read_float_array) and DLPack producers
// that are no sequence (read_dlpack) are read straight from memory with the
// same result, and a KestrixMatrix gives its elements in row-major order.
// Errors come back already wrapped for `name`.
Result<FloatSeq> to_float_seq(PyObject* o, const char* name);

// An int (or __index__) in 0 .. 2^64 - 1.
Result<std::uint64_t> to_count(PyObject* o);

// A float (or __float__) narrowed to the nearest float32.
Result<float> to_float32(PyObject* o);

// A matrix argument: shared access, a failure wrapped for `name`.
Result<SharedAccess<Matrix>> matrix_argument(PyObject* o, const char* name);

// Convert with f, wrapping a failure for `name`.
template <class F>
auto argument(PyObject* o, const char* name, F f) -> decltype(f(o)) {
    auto r = f(o);
    if (!r) return argument_error(name, r.error());
    return r;
}

PyRef float_list(const FloatSeq& values);
PyRef count_pair(std::uint64_t a, std::uint64_t b);
PyRef float_object(float v);
PyRef none_object();

}  // namespace kestrix::py
