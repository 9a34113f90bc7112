#pragma once
// Typed errors (PyErr) travel back through the native code as values.
#include <string>
#include <utility>
#include <variant>

#include "boundary/py_ref.h"

namespace kestrix::py {

// Returns a borrowed exception type; called only when the error is raised.
using TypeGetter = PyObject* (*)();

class PyErr {
public:
    // A lazy error: no Python object exists until it is raised.
    static PyErr lazy(TypeGetter type, std::string message) {
        PyErr e;
        e.lazy_type_ = type;
        e.message_ = std::move(message);
        return e;
    }
    static PyErr type_error(std::string message);
    // An error raised with `cause` as its __cause__ (null: none), context hidden.
    static PyErr with_cause(TypeGetter type, std::string message, PyRef cause) {
        PyErr e = lazy(type, std::move(message));
        e.rewrapped_ = true;
        e.cause_ = std::move(cause);
        return e;
    }
    static PyErr value_error(std::string message);
    static PyErr runtime_error(std::string message);
    static PyErr memory_error(std::string message);
    static PyErr import_error(std::string message);
    static PyErr system_error(std::string message);

    // A fetched error, exactly as the interpreter handed it over.
    static PyErr fetched(PyRef type, PyRef value, PyRef traceback) {
        PyErr e;
        e.type_ = std::move(type);
        e.value_ = std::move(value);
        e.traceback_ = std::move(traceback);
        return e;
    }

    bool is_lazy() const noexcept { return lazy_type_ != nullptr; }
    // Whether the error's type is exactly `type` (not a subclass).
    bool has_exact_type(PyObject* type) const noexcept {
        return is_lazy() ? lazy_type_() == type : type_.get() == type;
    }
    const std::string& message() const noexcept { return message_; }
    TypeGetter lazy_type() const noexcept { return lazy_type_; }
    bool rewrapped() const noexcept { return rewrapped_; }
    PyRef& cause() noexcept { return cause_; }
    PyRef& type() noexcept { return type_; }
    PyRef& value() noexcept { return value_; }
    PyRef& traceback() noexcept { return traceback_; }

private:
    PyErr() = default;
    TypeGetter lazy_type_ = nullptr;
    std::string message_;
    bool rewrapped_ = false;
    PyRef cause_;
    PyRef type_, value_, traceback_;
};

struct Unit {};

// A value or a typed error; dropping one would lose an error unraised.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
    Result(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
    explicit operator bool() const noexcept { return v_.index() == 0; }
    T& operator*() noexcept { return *std::get_if<0>(&v_); }
    T* operator->() noexcept { return std::get_if<0>(&v_); }
    PyErr error() noexcept { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, PyErr> v_;
};

using Status = Result<Unit>;
inline Status ok() { return Unit{}; }

}  // namespace kestrix::py
