#include "boundary/convert.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "boundary/array_input.h"
#include "boundary/dlpack_input.h"
#include "boundary/guard.h"
#include "boundary/types.h"

namespace kestrix::py {
namespace {

// A length hint is trusted up to this many elements; beyond it the buffer
// grows while iterating, so an absurd __len__ cannot exhaust memory up front.
constexpr std::size_t trusted_hint = std::size_t{1} << 27;

bool is_str(PyObject* o) { return PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_UNICODE_SUBCLASS; }

void reserve_from_hint(FloatSeq& out, PyObject* o) {
    Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) {
        PyErr_Clear();
        return;
    }
    try {
        out.reserve(std::min(static_cast<std::size_t>(hint), trusted_hint));
    } catch (const OutOfMemory&) {
        // Only a hint: start small and grow.
    }
}

// Appends the item narrowed to float32; false with the error pending.
bool append_item(FloatSeq& out, PyObject* item) {
    double d = PyFloat_AsDouble(item);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out.push_back(static_cast<float>(d));
    return true;
}

// Exact lists and tuples are read by index. The list's length is read again
// at every step, exactly as its iterator does, so an item whose __float__
// changes the list ends the loop where iteration would.
bool fill_by_index(FloatSeq& out, PyObject* o, bool is_list) {
    for (Py_ssize_t i = 0;; ++i) {
        Py_ssize_t len = is_list ? PyList_Size(o) : PyTuple_Size(o);
        if (i >= len) return true;
        PyRef item = PyRef::borrow(is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i));
        if (!append_item(out, item.get())) return false;
    }
}

bool fill_by_iteration(FloatSeq& out, PyObject* o) {
    PyRef it = PyRef::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!append_item(out, item.get())) return false;
    }
    return PyErr_Occurred() == nullptr;
}

}  // namespace

PyErr argument_error(const char* name, PyErr err) {
    if (!err.has_exact_type(PyExc_TypeError)) return err;
    if (err.is_lazy())
        return PyErr::with_cause([] { return PyExc_TypeError; },
                                 std::string("argument '") + name + "': " + err.message(), PyRef());
    PyObject* value = err.exception();
    std::string text = value != nullptr ? display_text(value) : "None";
    PyRef cause = value != nullptr ? PyRef::steal(PyException_GetCause(value)) : PyRef();
    return PyErr::with_cause([] { return PyExc_TypeError; },
                             std::string("argument '") + name + "': " + text, std::move(cause));
}

Result<FloatSeq> to_float_seq(PyObject* o, const char* name) {
    if (is_str(o)) return argument_error(name, PyErr::type_error("Can't extract `str` to `Vec`"));
    // A matrix is float32 data already: its elements in row-major order.
    if (Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(matrix_type())) {
        auto m = shared_matrix(o);
        if (!m) return argument_error(name, m.error());
        return FloatSeq(m->record().data);
    }
    if (auto direct = read_float_array(o)) return std::move(*direct);
    if (!PySequence_Check(o)) {
        // Sequences keep being iterated; a DLPack producer that is none would
        // otherwise be refused.
        auto tensor = read_dlpack(o);
        if (!tensor) return argument_error(name, conversion_error(o, "Sequence"));
        if (!*tensor) return argument_error(name, tensor->error());
        return std::move(**tensor);
    }
    FloatSeq out;
    reserve_from_hint(out, o);
    bool is_list = Py_TYPE(o) == &PyList_Type;
    bool filled = is_list || Py_TYPE(o) == &PyTuple_Type ? fill_by_index(out, o, is_list)
                                                         : fill_by_iteration(out, o);
    if (!filled) return argument_error(name, fetch_pending_error());
    return out;
}

Result<std::uint64_t> to_count(PyObject* o) {
    PyRef index;
    if (!(PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_LONG_SUBCLASS)) {
        index = PyRef::steal(PyNumber_Index(o));
        if (!index) return fetch_pending_error();
        o = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred())
        return fetch_pending_error();
    return static_cast<std::uint64_t>(v);
}

Result<float> to_float32(PyObject* o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return fetch_pending_error();
    return static_cast<float>(d);
}

Result<SharedAccess<Matrix>> matrix_argument(PyObject* o, const char* name) {
    return argument(o, name, shared_matrix);
}

PyRef float_list(const FloatSeq& values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) != 0)
            interpreter_call_failed();
    }
    return list;
}

PyRef count_pair(std::uint64_t a, std::uint64_t b) {
    PyRef tuple = checked(PyTuple_New(2));
    PyObject* first = PyLong_FromUnsignedLongLong(a);
    if (first == nullptr || PyTuple_SetItem(tuple.get(), 0, first) != 0) interpreter_call_failed();
    PyObject* second = PyLong_FromUnsignedLongLong(b);
    if (second == nullptr || PyTuple_SetItem(tuple.get(), 1, second) != 0)
        interpreter_call_failed();
    return tuple;
}

PyRef float_object(float v) { return checked(PyFloat_FromDouble(v)); }

PyRef none_object() { return PyRef::borrow(Py_None); }

}  // namespace kestrix::py
