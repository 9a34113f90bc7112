#include "boundary/error.h"

#include "boundary/guard.h"

namespace kestrix::py {

PyErr PyErr::type_error(std::string m) {
    return lazy([] { return PyExc_TypeError; }, std::move(m));
}

PyErr PyErr::value_error(std::string m) {
    return lazy([] { return PyExc_ValueError; }, std::move(m));
}
PyErr PyErr::runtime_error(std::string m) {
    return lazy([] { return PyExc_RuntimeError; }, std::move(m));
}
PyErr PyErr::memory_error(std::string m) {
    return lazy([] { return PyExc_MemoryError; }, std::move(m));
}
PyErr PyErr::import_error(std::string m) {
    return lazy([] { return PyExc_ImportError; }, std::move(m));
}
PyErr PyErr::system_error(std::string m) {
    return lazy([] { return PyExc_SystemError; }, std::move(m));
}

std::optional<PyErr> PyErr::take_pending() {
    if (PyErr_Occurred() == nullptr) return std::nullopt;
    return take_set();
}

PyErr PyErr::take_set() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr e;
    e.type_ = PyRef::steal(t);
    e.value_ = PyRef::steal(v);
    e.traceback_ = PyRef::steal(tb);
    return e;
}

void PyErr::restore() && {
    if (!is_lazy()) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return;
    }
    PyObject* type = lazy_type_();
    PyRef arg = checked(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (type == contained_failure_type()) {
        PyRef args = checked(PyTuple_New(1));
        if (PyTuple_SetItem(args.get(), 0, arg.release()) != 0) interpreter_call_failed();
        arg = std::move(args);
    }
    if (!PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_SetObject(type, arg.get());
    PyErr made = take_set();
    PyObject* v = made.exception();
    if (v != nullptr && rewrapped_) PyException_SetCause(v, cause_.release());
    std::move(made).restore();
}

PyObject* PyErr::exception() {
    if (is_lazy()) {
        PyErr copy = std::move(*this);
        std::move(copy).restore();
        *this = take_set();
    }
    PyObject *t = type_.release(), *v = value_.release(), *tb = traceback_.release();
    PyErr_NormalizeException(&t, &v, &tb);
    if (v != nullptr && tb != nullptr) PyException_SetTraceback(v, tb);
    type_ = PyRef::steal(t);
    value_ = PyRef::steal(v);
    traceback_ = PyRef::steal(tb);
    return value_.get();
}

std::string PyErr::debug_rendering() {
    PyRef type, value, traceback;
    if (is_lazy()) {
        type = PyRef::borrow(lazy_type_());
        value = checked(
            PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    } else {
        type = PyRef::borrow(type_.get());
        value = PyRef::borrow(value_.get());
        traceback = PyRef::borrow(traceback_.get());
    }
    std::string out = "PyErr { type: " + repr_text(type.get()) + ", value: ";
    out += value ? repr_text(value.get()) : "None";
    out += ", traceback: ";
    out += traceback ? "Some(" + repr_text(traceback.get()) + ")" : "None";
    return out + " }";
}

}  // namespace kestrix::py
