#pragma once
// Failures cross into Python in exactly one place: run_guarded, the frame
// every interpreter-called entry runs in.
#include <new>
#include <optional>
#include <source_location>
#include <string>

#include "base/fault.h"
#include "boundary/error.h"

namespace kestrix::py {

// The contained-failure exception type, pyo3_runtime.PanicException (borrowed).
PyObject* contained_failure_type();

// The pending exception, if any. A contained failure coming back through
// Python code is not returned: it continues as a Fault.
std::optional<PyErr> take_pending_error();

// As take_pending_error, but SystemError when nothing is pending.
PyErr fetch_pending_error();

// For interpreter calls that must not fail: prints the pending exception and
// fails with "Python API call failed".
[[noreturn]] void interpreter_call_failed(
    std::source_location where = std::source_location::current());

// o itself, or interpreter_call_failed when it is null.
inline PyRef checked(PyObject* o, std::source_location where = std::source_location::current()) {
    if (o == nullptr) [[unlikely]]
        interpreter_call_failed(where);
    return PyRef::steal(o);
}

// A module's member, imported on first need and kept in `kept` for the life
// of the process, like the type objects.
Result<PyObject*> imported(const char* module, const char* name, PyObject*& kept);

// The text of str (or a subclass) as UTF-8; nullopt with the interpreter's
// error pending when it cannot be encoded (a lone surrogate).
std::optional<std::string> utf8_of(PyObject* str);

// str(o) as UTF-8, lone surrogates shown as U+FFFD; the unprintable
// placeholder when str() raises.
std::string display_text(PyObject* o);
// The same for repr(o).
std::string repr_text(PyObject* o);

namespace detail {
PyErr error_from_current_exception() noexcept;
PyObject* finish(Result<PyRef> outcome) noexcept;
[[noreturn]] void trap(const std::source_location& where) noexcept;
}  // namespace detail

// Runs one entry's body: a value comes back as a new reference, a PyErr is
// raised, an internal failure becomes PanicException, an exhausted allocation
// MemoryError. A failure escaping the conversion itself aborts the process.
template <class Body>
PyObject* run_guarded(Body&& body,
                      std::source_location where = std::source_location::current()) noexcept {
    try {
        std::optional<Result<PyRef>> outcome;
        try {
            outcome.emplace(body());
        } catch (...) {
            outcome.emplace(detail::error_from_current_exception());
        }
        return detail::finish(std::move(*outcome));
    } catch (...) {
        detail::trap(where);
    }
}

// Instance release: same frame, no catch; any failure meets the trap.
template <class Body>
void run_release(Body&& body,
                 std::source_location where = std::source_location::current()) noexcept {
    try {
        body();
    } catch (...) {
        detail::trap(where);
    }
}

}  // namespace kestrix::py
