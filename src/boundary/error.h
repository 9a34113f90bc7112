#pragma once
// Typed errors (PyErr) travel back through the native code as values.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "boundary/py_ref.h"

namespace kestrix::py {

// Returns a borrowed exception type; called only when the error is raised.
using TypeGetter = PyObject* (*)();

// The one owner of Python error state: an error built here and raised later,
// or one fetched from the interpreter, held whole until it is raised again.
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

    // Takes the interpreter's pending exception, exactly as it was set;
    // nullopt when none is pending.
    static std::optional<PyErr> take_pending();

    // Makes this the interpreter's pending exception.
    void restore() &&;

    // The exception instance (borrowed), with its traceback attached. A lazy
    // error is made for it; either way the error stays whole.
    PyObject* exception();

    bool is_lazy() const noexcept { return lazy_type_ != nullptr; }
    // Whether the error's type is exactly `type` (not a subclass).
    bool has_exact_type(PyObject* type) const noexcept {
        return is_lazy() ? lazy_type_() == type : type_.get() == type;
    }
    // The message of a lazy error.
    const std::string& message() const noexcept { return message_; }

    // "PyErr { type: ..., value: ..., traceback: ... }".
    std::string debug_rendering();

private:
    PyErr() = default;
    // The pending exception, which the caller knows is set.
    static PyErr take_set();

    TypeGetter lazy_type_ = nullptr;
    std::string message_;
    bool rewrapped_ = false;
    PyRef cause_;
    PyRef type_, value_, traceback_;  // a fetched error; value_ is normalized once asked for
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
