#include "boundary/state.h"

#include <bit>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "base/strided.h"
#include "boundary/access.h"
#include "boundary/buffer.h"
#include "boundary/convert.h"
#include "boundary/guard.h"
#include "boundary/memory.h"
#include "boundary/types.h"

namespace kestrix::py {
namespace {

// The data is written as the native floats, and read back as "<f4".
static_assert(std::endian::native == std::endian::little);

constexpr std::uint64_t float_bytes = sizeof(float);

PyObject* kept_array_type = nullptr;
PyObject* kept_pickle_buffer_type = nullptr;

// ---- reading a state ------------------------------------------------------

// The bytes of a bytes-like object, held while they are read.
class HeldBytes {
public:
    HeldBytes() : held_(buffer_api()) {}

    // False when o is not a contiguous bytes-like object.
    bool read(PyObject* o) {
        if (PyBytes_Check(o)) return PyBytes_AsStringAndSize(o, &data_, &len_) == 0;
        if (buffer_api().get != nullptr) {
            // A plain request: one C-contiguous block of bytes, read-only.
            if (!held_.get(o, 0)) return false;
            data_ = static_cast<char*>(held_.view().buf);
            len_ = held_.view().len;
            return true;
        }
        // Before 3.11 a memoryview copies them out.
        PyRef view = PyRef::steal(PyMemoryView_FromObject(o));
        if (view) copy_ = PyRef::steal(PyObject_CallMethod(view.get(), "tobytes", nullptr));
        return copy_ && PyBytes_AsStringAndSize(copy_.get(), &data_, &len_) == 0;
    }
    std::uint64_t size() const { return static_cast<std::uint64_t>(len_); }

    // The first `count` float32 values, through the reader every float32
    // input goes through, so that a NaN is stored as any other input stores it.
    FloatSeq floats(std::size_t count) const {
        FloatSeq out(count);
        if (count == 0) return out;
        StridedView view;
        view.data = reinterpret_cast<const unsigned char*>(data_);
        view.type = ElementType::float32;
        view.shape = {static_cast<std::int64_t>(count)};
        view.strides = {static_cast<std::int64_t>(float_bytes)};
        read_row_major(view, out.data());
        return out;
    }

private:
    HeldBuffer held_;
    PyRef copy_;
    char* data_ = nullptr;
    Py_ssize_t len_ = 0;
};

// One class's state being read: every message names the class.
class StateReader {
public:
    StateReader(const char* cls, PyObject* state) : cls_(cls), state_(state) {}

    // A dict of the known version with exactly `keys` besides "version".
    Status check(std::initializer_list<const char*> keys) {
        if (!PyDict_Check(state_))
            return PyErr::type_error(cls_ + " state must be a dict, not '" + qualname(state_) +
                                     "'");
        // The version first: a later format may have other keys.
        PyRef version = PyRef::borrow(PyDict_GetItemString(state_, "version"));
        if (!version) return PyErr::value_error(cls_ + " state has no 'version'");
        if (!PyLong_Check(version.get())) return wrong_type("version", version.get(), "an int");
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(version.get(), &overflow);
        if (overflow != 0 || v != state_version)
            return PyErr::value_error(
                cls_ + " state has format version " +
                (overflow != 0 ? std::string("out of range") : std::to_string(v)) +
                "; this kestrix reads version " + std::to_string(state_version));
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(state_, &pos, &key, &value)) {
            bool known = Py_TYPE(key) == &PyUnicode_Type &&
                         PyUnicode_CompareWithASCIIString(key, "version") == 0;
            for (const char* k : keys)
                known = known || (Py_TYPE(key) == &PyUnicode_Type &&
                                  PyUnicode_CompareWithASCIIString(key, k) == 0);
            if (!known)
                return PyErr::value_error(cls_ + " state has an unknown key " + repr_text(key));
        }
        for (const char* k : keys)
            if (PyDict_GetItemString(state_, k) == nullptr)
                return PyErr::value_error(cls_ + " state has no '" + k + "'");
        return ok();
    }

    // The value under a key that check() found; a reference of its own, since
    // converting another value may run code that changes the dict.
    PyRef item(const char* key) { return PyRef::borrow(PyDict_GetItemString(state_, key)); }

    // An int in 0 .. 2^64 - 1.
    Result<std::uint64_t> count(const char* key) {
        PyRef v = item(key);
        if (!PyLong_Check(v.get())) return wrong_type(key, v.get(), "an int");
        int overflow = 0;
        long long s = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
        if (overflow < 0 || (overflow == 0 && s < 0))
            return PyErr::value_error(field(key) + " must not be negative");
        unsigned long long u = PyLong_AsUnsignedLongLong(v.get());
        if (u == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
            PyErr_Clear();
            return PyErr::value_error(field(key) + " does not fit in 64 bits");
        }
        return static_cast<std::uint64_t>(u);
    }

    // A float or an int, narrowed to the nearest float32; or, as pickles
    // write it, the float32's own 4 bytes, which keep a NaN's sign and
    // payload where a float written as text (protocol 0) would not.
    Result<float> real(const char* key) {
        PyRef v = item(key);
        if (PyBytes_Check(v.get())) {
            HeldBytes bytes;
            if (!bytes.read(v.get())) return fetch_pending_error();
            if (bytes.size() != float_bytes) return wrong_length(key, bytes.size(), "in all");
            return bytes.floats(1)[0];
        }
        if (!PyFloat_Check(v.get()) && !PyLong_Check(v.get()))
            return wrong_type(key, v.get(), "a float");
        double d = PyFloat_AsDouble(v.get());
        if (d == -1.0 && PyErr_Occurred()) return fetch_pending_error();
        return static_cast<float>(d);
    }

    // Float data; a bytes object is the values' own float32 bytes.
    Result<FloatSeq> values(const char* key) {
        PyRef v = item(key);
        if (PyBytes_Check(v.get())) {
            HeldBytes bytes;
            if (!bytes.read(v.get())) return fetch_pending_error();
            if (bytes.size() % float_bytes != 0)
                return wrong_length(key, bytes.size(), "for each value");
            return bytes.floats(bytes.size() / float_bytes);
        }
        auto out = to_float_seq(v.get(), key);
        if (out) return out;
        PyErr err = out.error();
        if (!err.has_exact_type(PyExc_TypeError)) return err;
        return PyErr::with_cause(
            [] { return PyExc_TypeError; },
            field(key) + " must be float values, not '" + qualname(v.get()) + "'",
            PyRef::borrow(err.exception()));
    }

    PyErr wrong_length(const char* key, std::uint64_t have, const std::string& what) const {
        return PyErr::value_error(field(key) + " holds " + std::to_string(have) + " bytes, not " +
                                  std::to_string(float_bytes) + " " + what);
    }

    std::string field(const char* key) const { return cls_ + " state: '" + key + "'"; }

    PyErr wrong_type(const char* key, PyObject* v, const char* wanted) const {
        return PyErr::type_error(field(key) + " must be " + wanted + ", not '" + qualname(v) + "'");
    }

private:
    std::string cls_;
    PyObject* state_;
};

Result<FloatSeq> matrix_values(StateReader& reader, PyObject* data, std::uint64_t rows,
                               std::uint64_t cols) {
    HeldBytes bytes;
    if (!bytes.read(data)) {
        PyErr_Clear();
        return reader.wrong_type("data", data, "a contiguous bytes-like object");
    }
    // A product that overflows can never match the length.
    const std::uint64_t have = bytes.size();
    const bool fits = cols == 0 || rows <= have / float_bytes / cols;
    if (!fits || rows * cols * float_bytes != have)
        return reader.wrong_length(
            "data", have,
            "for each of the " + std::to_string(rows) + " x " + std::to_string(cols) + " elements");
    return bytes.floats(rows * cols);
}

// ---- writing a state ------------------------------------------------------

class StateWriter {
public:
    StateWriter() : dict_(checked(PyDict_New())) {}
    void set(const char* key, PyRef value) {
        if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) != 0)
            interpreter_call_failed();
    }
    PyRef done() { return std::move(dict_); }

private:
    PyRef dict_;
};

PyRef version_object() { return checked(PyLong_FromLong(state_version)); }

PyRef float_bytes_of(const FloatSeq& data) {
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                             static_cast<Py_ssize_t>(data.size() * float_bytes)));
}

PyRef matrix_dict(const Matrix& m, PyRef data) {
    StateWriter w;
    w.set("version", version_object());
    w.set("rows", checked(PyLong_FromUnsignedLongLong(m.rows)));
    w.set("cols", checked(PyLong_FromUnsignedLongLong(m.cols)));
    w.set("data", std::move(data));
    return w.done();
}

}  // namespace

PyRef matrix_state(const Matrix& m) { return matrix_dict(m, float_bytes_of(m.data)); }

Result<PyRef> matrix_state_out_of_band(PyObject* self, const Matrix& m) {
    auto pickle_buffer = imported("pickle", "PickleBuffer", kept_pickle_buffer_type);
    if (!pickle_buffer) return pickle_buffer.error();
    auto memory = matrix_memory(self);
    if (!memory) return memory.error();
    PyRef source = *memory ? std::move(*memory) : float_bytes_of(m.data);
    PyRef buffer =
        PyRef::steal(PyObject_CallFunctionObjArgs(*pickle_buffer, source.get(), nullptr));
    if (!buffer) return fetch_pending_error();
    return matrix_dict(m, std::move(buffer));
}

Result<PyRef> solver_state(const Solver& s) {
    auto array = imported("array", "array", kept_array_type);
    if (!array) return array.error();
    PyRef weights = float_bytes_of(s.weights);
    PyRef values = PyRef::steal(PyObject_CallFunction(*array, "sO", "f", weights.get()));
    if (!values) return fetch_pending_error();
    StateWriter w;
    w.set("version", version_object());
    w.set("lr", float_object(s.lr));
    w.set("iters", checked(PyLong_FromUnsignedLongLong(s.iters)));
    w.set("weights", std::move(values));
    w.set("bias", float_object(s.bias));
    return w.done();
}

PyRef solver_state_packed(const Solver& s) {
    auto one = [](float v) {
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&v), sizeof v));
    };
    StateWriter w;
    w.set("version", version_object());
    w.set("lr", one(s.lr));
    w.set("iters", checked(PyLong_FromUnsignedLongLong(s.iters)));
    w.set("weights", float_bytes_of(s.weights));
    w.set("bias", one(s.bias));
    return w.done();
}

Result<Matrix> matrix_from_state(PyObject* state) {
    StateReader reader("KestrixMatrix", state);
    if (auto s = reader.check({"rows", "cols", "data"}); !s) return s.error();
    auto rows = reader.count("rows");
    if (!rows) return rows.error();
    auto cols = reader.count("cols");
    if (!cols) return cols.error();
    PyRef data = reader.item("data");
    auto values = matrix_values(reader, data.get(), *rows, *cols);
    if (!values) return values.error();
    return make_matrix(std::move(*values), *rows, *cols);
}

Result<Solver> solver_from_state(PyObject* state) {
    StateReader reader("KestrixSolver", state);
    if (auto s = reader.check({"lr", "iters", "weights", "bias"}); !s) return s.error();
    Solver out;
    auto lr = reader.real("lr");
    if (!lr) return lr.error();
    auto iters = reader.count("iters");
    if (!iters) return iters.error();
    auto bias = reader.real("bias");
    if (!bias) return bias.error();
    auto weights = reader.values("weights");
    if (!weights) return weights.error();
    out.lr = *lr;
    out.iters = *iters;
    out.bias = *bias;
    out.weights = std::move(*weights);
    return out;
}

PyRef reduction(PyObject* restore, PyRef state) {
    PyRef args = checked(PyTuple_New(1));
    if (PyTuple_SetItem(args.get(), 0, state.release()) != 0) interpreter_call_failed();
    PyRef pair = checked(PyTuple_New(2));
    if (PyTuple_SetItem(pair.get(), 0, PyRef::borrow(restore).release()) != 0 ||
        PyTuple_SetItem(pair.get(), 1, args.release()) != 0)
        interpreter_call_failed();
    return pair;
}

}  // namespace kestrix::py
