#include "boundary/guard.h"

#include <unistd.h>

#include <cstdlib>
#include <exception>

namespace kestrix::py {
namespace {

PyObject* stored_failure_type = nullptr;

constexpr const char* failure_type_doc =
    "\n"
    "The exception raised when native code called from Python fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it will typically propagate all the way through the stack and cause\n"
    "the Python interpreter to exit.\n";

void write_stderr(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

// Text of a str object as UTF-8; invalid sequences (lone surrogates) become
// U+FFFD. Empty optional when the encoding itself fails.
std::optional<std::string> lenient_utf8(PyObject* str) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return std::nullopt;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(data, len, "replace"));
    if (!text) return std::nullopt;
    return utf8_of(text.get());
}

std::optional<std::string> attr_text(PyObject* o, const char* name) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(o, name));
    if (!v || !(PyType_GetFlags(Py_TYPE(v.get())) & Py_TPFLAGS_UNICODE_SUBCLASS))
        return std::nullopt;
    return lenient_utf8(v.get());
}

std::string unprintable(PyObject* o) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    auto module = attr_text(type, "__module__");
    auto name = module ? attr_text(type, "__name__") : std::nullopt;
    PyErr_Clear();
    if (!module || !name) return "<unprintable object>";
    return "<unprintable " + *module + "." + *name + " object>";
}

// repr(o) or str(o) for a message, with the unprintable placeholder.
std::string object_text(PyObject* o, PyObject* (*render)(PyObject*)) {
    PyRef s = PyRef::steal(render(o));
    if (s) {
        if (auto text = lenient_utf8(s.get())) return *text;
    }
    PyErr_WriteUnraisable(o);
    return unprintable(o);
}

PyRef make_failure_type() {
    PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", failure_type_doc,
                                            PyExc_BaseException, nullptr);
    if (t == nullptr) {
        PyErr err = fetch_pending_error();
        std::string message = "Failed to initialize new exception type.: " + err.debug_rendering();
        write_report(message, std::source_location::current());
        detail::trap(std::source_location::current());
    }
    return PyRef::steal(t);
}

}  // namespace

PyObject* contained_failure_type() {
    if (stored_failure_type == nullptr) {
        PyRef made = make_failure_type();
        // Making the type can run Python code; another thread may have stored one meanwhile.
        if (stored_failure_type == nullptr) stored_failure_type = made.release();
    }
    return stored_failure_type;
}

std::optional<PyErr> take_pending_error() {
    std::optional<PyErr> err = PyErr::take_pending();
    if (!err || !err->has_exact_type(contained_failure_type())) return err;

    // A failure contained earlier is coming back through Python code: it
    // continues as the same failure, with its Python traceback shown.
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* v = err->exception()) {
        PyRef s = PyRef::steal(PyObject_Str(v));
        std::optional<std::string> text = s ? lenient_utf8(s.get()) : std::nullopt;
        if (text) message = *text;
        PyErr_Clear();
    }
    write_stderr(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    std::move(*err).restore();
    PyErr_PrintEx(0);
    throw Fault(std::move(message), std::source_location::current());
}

PyErr fetch_pending_error() {
    if (auto err = take_pending_error()) return std::move(*err);
    return PyErr::system_error("attempted to fetch exception but none was set");
}

void interpreter_call_failed(std::source_location where) {
    PyErr_Print();
    fail("Python API call failed", where);
}

Result<PyObject*> imported(const char* module, const char* name, PyObject*& kept) {
    if (kept != nullptr) return kept;
    PyRef m = PyRef::steal(PyImport_ImportModule(module));
    if (!m) return fetch_pending_error();
    PyRef member = PyRef::steal(PyObject_GetAttrString(m.get(), name));
    if (!member) return fetch_pending_error();
    // Importing runs Python code, which may have got here first.
    if (kept == nullptr) kept = member.release();
    return kept;
}

std::optional<std::string> utf8_of(PyObject* str) {
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(str));
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &data, &len) != 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(len));
}

std::string display_text(PyObject* o) { return object_text(o, PyObject_Str); }

std::string repr_text(PyObject* o) { return object_text(o, PyObject_Repr); }

namespace detail {

PyErr error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Fault& f) {
        std::string m = f.message().empty() ? "panic from native code" : f.message();
        return PyErr::lazy(contained_failure_type, std::move(m));
    } catch (const OutOfMemory& e) {
        return PyErr::memory_error(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr::memory_error("memory allocation failed");
    } catch (const std::exception& e) {
        return PyErr::lazy(contained_failure_type, e.what());
    } catch (...) {
        return PyErr::lazy(contained_failure_type, "panic from native code");
    }
}

PyObject* finish(Result<PyRef> outcome) noexcept {
    try {
        if (outcome) return outcome->release();
        outcome.error().restore();
        return nullptr;
    } catch (...) {
        trap(std::source_location::current());
    }
}

void trap(const std::source_location& where) noexcept {
    write_report("uncaught panic at ffi boundary", where);
    std::abort();
}

}  // namespace detail
}  // namespace kestrix::py
