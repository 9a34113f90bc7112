#include "boundary/describe.h"

#include <bit>
#include <cstdint>

#include "boundary/guard.h"
#include "boundary/memory.h"

namespace kestrix::py {
namespace {

PyObject* kept_sha256 = nullptr;

}  // namespace

PyRef matrix_repr(const Matrix& m) {
    return checked(PyUnicode_FromFormat("<kestrix.KestrixMatrix shape=(%llu, %llu)>",
                                        static_cast<unsigned long long>(m.rows),
                                        static_cast<unsigned long long>(m.cols)));
}

PyRef solver_repr(const Solver& s) {
    PyRef lr = checked(PyFloat_FromDouble(s.lr));
    const bool trained = !s.weights.empty() || std::bit_cast<std::uint32_t>(s.bias) != 0;
    return checked(PyUnicode_FromFormat("<kestrix.KestrixSolver lr=%R iters=%llu %s>", lr.get(),
                                        static_cast<unsigned long long>(s.iters),
                                        trained ? "trained" : "untrained"));
}

PyRef size_in_memory(std::size_t instance_size, const FloatSeq& elements) {
    return checked(PyLong_FromSize_t(instance_size + elements.capacity() * sizeof(float)));
}

Result<PyRef> matrix_token(PyObject* owner, const Matrix& m) {
    auto sha256 = imported("hashlib", "sha256", kept_sha256);
    if (!sha256) return sha256.error();
    // The matrix's own memory where the buffer protocol can offer it, else
    // its bytes.
    auto memory = matrix_memory(owner);
    if (!memory) return memory.error();
    PyRef data = *memory ? std::move(*memory)
                         : checked(PyBytes_FromStringAndSize(
                               static_cast<const char*>(element_address(m)),
                               static_cast<Py_ssize_t>(m.data.size() * sizeof(float))));
    PyRef hash = PyRef::steal(PyObject_CallFunctionObjArgs(*sha256, data.get(), nullptr));
    if (!hash) return fetch_pending_error();
    PyRef digest = PyRef::steal(PyObject_CallMethod(hash.get(), "hexdigest", nullptr));
    if (!digest) return fetch_pending_error();
    return checked(Py_BuildValue("(sKKO)", "kestrix.KestrixMatrix",
                                 static_cast<unsigned long long>(m.rows),
                                 static_cast<unsigned long long>(m.cols), digest.get()));
}

}  // namespace kestrix::py
