#pragma once
#include <utility>

#include "boundary/python.h"

namespace kestrix::py {

// The only type that owns a PyObject reference.
class PyRef {
public:
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef() = default;
    PyRef(PyRef&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        std::swap(ptr_, o.ptr_);
        return *this;
    }
    PyRef(const PyRef&) = delete;  // copy explicitly: PyRef::borrow(r.get())
    ~PyRef() { Py_XDECREF(ptr_); }
    PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit PyRef(PyObject* o) noexcept : ptr_(o) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace kestrix::py
