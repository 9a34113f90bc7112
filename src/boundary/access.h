#pragma once
// Access to an instance's record under its borrow counter. Each access is an
// RAII object that gives itself back on every path, failures included.
#include <cstdint>
#include <string>
#include <utility>

#include "boundary/error.h"
#include "boundary/types.h"

namespace kestrix::py {

template <class Record>
class SharedAccess {
public:
    explicit SharedAccess(Instance<Record>* o) noexcept
        : o_(o), ref_(PyRef::borrow(reinterpret_cast<PyObject*>(o))) {
        ++o_->borrow;
    }
    SharedAccess(SharedAccess&& other) noexcept
        : o_(std::exchange(other.o_, nullptr)), ref_(std::move(other.ref_)) {}
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (o_ != nullptr) --o_->borrow;
    }
    const Record& record() const noexcept { return o_->record; }

private:
    Instance<Record>* o_;
    PyRef ref_;
};

template <class Record>
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(Instance<Record>* o) noexcept
        : o_(o), ref_(PyRef::borrow(reinterpret_cast<PyObject*>(o))) {
        o_->borrow = -1;
    }
    ExclusiveAccess(ExclusiveAccess&& other) noexcept
        : o_(std::exchange(other.o_, nullptr)), ref_(std::move(other.ref_)) {}
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ~ExclusiveAccess() {
        if (o_ != nullptr) o_->borrow = 0;
    }
    Record& record() const noexcept { return o_->record; }

private:
    Instance<Record>* o_;
    PyRef ref_;
};

// The __qualname__ of o's type, or a placeholder when it cannot be read.
std::string qualname(PyObject* o);

// TypeError "'{qualname}' object cannot be converted to '{wanted}'".
PyErr conversion_error(PyObject* o, const char* wanted);

Result<SharedAccess<Matrix>> shared_matrix(PyObject* o);
Result<SharedAccess<Solver>> shared_solver(PyObject* o);
Result<ExclusiveAccess<Solver>> exclusive_solver(PyObject* o);

}  // namespace kestrix::py
