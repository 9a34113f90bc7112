#include "boundary/access.h"

#include <optional>
#include <string>

#include "boundary/guard.h"

namespace kestrix::py {

std::string qualname(PyObject* o) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (name && (PyType_GetFlags(Py_TYPE(name.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        if (auto text = utf8_of(name.get())) return *text;
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

namespace {

template <class Record>
Result<Instance<Record>*> instance_of(PyObject* o, PyObject* type, const char* wanted) {
    if (!PyType_IsSubtype(Py_TYPE(o), reinterpret_cast<PyTypeObject*>(type)))
        return conversion_error(o, wanted);
    return reinterpret_cast<Instance<Record>*>(o);
}

}  // namespace

PyErr conversion_error(PyObject* o, const char* wanted) {
    return PyErr::type_error("'" + qualname(o) + "' object cannot be converted to '" + wanted +
                             "'");
}

Result<SharedAccess<Matrix>> shared_matrix(PyObject* o) {
    auto inst = instance_of<Matrix>(o, matrix_type(), "KestrixMatrix");
    if (!inst) return inst.error();
    // No matrix method takes exclusive access, so this never conflicts.
    if ((*inst)->borrow == -1) return PyErr::runtime_error("Already mutably borrowed");
    return SharedAccess<Matrix>(*inst);
}

Result<SharedAccess<Solver>> shared_solver(PyObject* o) {
    auto inst = instance_of<Solver>(o, solver_type(), "KestrixSolver");
    if (!inst) return inst.error();
    if ((*inst)->borrow == -1) return PyErr::runtime_error("Already mutably borrowed");
    return SharedAccess<Solver>(*inst);
}

Result<ExclusiveAccess<Solver>> exclusive_solver(PyObject* o) {
    auto inst = instance_of<Solver>(o, solver_type(), "KestrixSolver");
    if (!inst) return inst.error();
    if ((*inst)->borrow != 0) return PyErr::runtime_error("Already borrowed");
    return ExclusiveAccess<Solver>(*inst);
}

}  // namespace kestrix::py
