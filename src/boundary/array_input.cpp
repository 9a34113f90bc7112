#include "boundary/array_input.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/strided.h"
#include "boundary/buffer.h"
#include "boundary/guard.h"
#include "boundary/py_ref.h"

namespace kestrix::py {
namespace {

// Py_TPFLAGS_IMMUTABLETYPE (3.10+): set on the heap types that C code makes
// in place of static ones, never on a class made by a class statement.
constexpr unsigned long immutable_type_flag = 1UL << 8;

bool is_text(PyObject* o, const char* text) {
    return o != nullptr && Py_TYPE(o) == &PyUnicode_Type &&
           PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// Whether t is the type module.name made by C code. Its metatype must be
// type itself and it must not come from a class statement, so that reading
// its names runs no Python code and no class can pass for it.
bool is_native_type(PyTypeObject* t, const char* module, const char* name) {
    if (Py_TYPE(reinterpret_cast<PyObject*>(t)) != &PyType_Type) return false;
    unsigned long flags = PyType_GetFlags(t);
    if ((flags & Py_TPFLAGS_HEAPTYPE) && !(flags & immutable_type_flag)) return false;
    auto* type = reinterpret_cast<PyObject*>(t);
    PyRef type_name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
    if (!is_text(type_name.get(), name)) {
        PyErr_Clear();
        return false;
    }
    PyRef type_module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    bool same = is_text(type_module.get(), module);
    PyErr_Clear();
    return same;
}

// An exact int that fits in 64 signed bits.
bool int64_of(PyObject* o, std::int64_t& out) {
    if (o == nullptr || Py_TYPE(o) != &PyLong_Type) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) return false;
    out = v;
    return true;
}

// An exact tuple of such ints.
bool int64_tuple(PyObject* o, std::vector<std::int64_t>& out) {
    if (o == nullptr || Py_TYPE(o) != &PyTuple_Type) return false;
    Py_ssize_t n = PyTuple_Size(o);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!int64_of(PyTuple_GetItem(o, i), out[static_cast<std::size_t>(i)])) return false;
    return true;
}

// The elements of view, row-major strides filled in when it has none; no
// value when it does not describe memory that can be read.
std::optional<FloatSeq> read_view(StridedView view) {
    if (view.strides.empty() && !view.shape.empty()) {
        auto strides = row_major_strides(view.shape, item_size(view.type));
        if (!strides) return std::nullopt;
        view.strides = std::move(*strides);
    }
    Checked checked_view = check_view(view);
    if (!checked_view.error.empty()) return std::nullopt;
    FloatSeq out(checked_view.count);
    if (!out.empty()) read_row_major(view, out.data());
    return out;
}

// The element type of an array interface's typestr ("<f4", ">i8", "|b1"):
// every integer, bool and float type that tolist() gives as a Python int,
// bool or float. Complex, object, structured, datetime and longdouble
// arrays keep the sequence path.
bool parse_typestr(PyObject* typestr, StridedView& view) {
    if (typestr == nullptr || Py_TYPE(typestr) != &PyUnicode_Type) return false;
    std::optional<std::string> text = utf8_of(typestr);
    if (!text) return false;
    using E = ElementType;
    static constexpr std::pair<std::string_view, E> types[] = {
        {"i1", E::int8},    {"i2", E::int16},   {"i4", E::int32},   {"i8", E::int64},
        {"u1", E::uint8},   {"u2", E::uint16},  {"u4", E::uint32},  {"u8", E::uint64},
        {"b1", E::boolean}, {"f2", E::float16}, {"f4", E::float32}, {"f8", E::float64},
    };
    std::string_view t(*text);
    if (t.size() != 3 || (t[0] != '<' && t[0] != '>' && t[0] != '|' && t[0] != '=')) return false;
    for (auto [name, type] : types) {
        if (t.substr(1) != name) continue;
        view.type = type;
        view.swapped = t[0] == '>';
        return true;
    }
    return false;
}

// numpy's own interface dict of an exact ndarray; anything unexpected in it
// leaves the array to the sequence path.
std::optional<FloatSeq> from_array_interface(PyObject* o) {
    PyRef iface = PyRef::steal(PyObject_GetAttrString(o, "__array_interface__"));
    if (!iface || Py_TYPE(iface.get()) != &PyDict_Type) return std::nullopt;
    PyObject* dict = iface.get();
    StridedView view;
    if (!parse_typestr(PyDict_GetItemString(dict, "typestr"), view)) return std::nullopt;
    if (!int64_tuple(PyDict_GetItemString(dict, "shape"), view.shape)) return std::nullopt;
    PyObject* data = PyDict_GetItemString(dict, "data");
    if (data == nullptr || Py_TYPE(data) != &PyTuple_Type || PyTuple_Size(data) != 2)
        return std::nullopt;
    PyObject* address = PyTuple_GetItem(data, 0);
    if (Py_TYPE(address) != &PyLong_Type) return std::nullopt;
    view.data = static_cast<const unsigned char*>(PyLong_AsVoidPtr(address));
    if (PyErr_Occurred()) return std::nullopt;
    PyObject* strides = PyDict_GetItemString(dict, "strides");
    if (strides != nullptr && strides != Py_None &&
        (!int64_tuple(strides, view.strides) || view.strides.size() != view.shape.size()))
        return std::nullopt;
    return read_view(std::move(view));
}

// Which element type a buffer's struct format names; native and
// little-endian standard sizes agree for both on this platform.
std::optional<ElementType> format_type(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return std::nullopt;
    std::string_view f(format);
    if (f.size() == 2 && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
    if (f == "f" && itemsize == 4) return ElementType::float32;
    if (f == "d" && itemsize == 8) return ElementType::float64;
    return std::nullopt;
}

std::optional<FloatSeq> from_buffer(PyObject* o, const BufferApi& api) {
    HeldBuffer held(api);
    if (!held.get(o)) return std::nullopt;
    const BufferView& b = held.view();
    auto type = format_type(b.format, b.itemsize);
    if (!type || b.suboffsets != nullptr || b.ndim < 0) return std::nullopt;
    StridedView view;
    view.type = *type;
    view.data = static_cast<const unsigned char*>(b.buf);
    for (int d = 0; d < b.ndim; ++d) view.shape.push_back(b.shape[d]);
    if (b.strides != nullptr)
        for (int d = 0; d < b.ndim; ++d) view.strides.push_back(b.strides[d]);
    return read_view(std::move(view));
}

// Without the buffer calls: a memoryview's bytes in row-major order, one
// copy at memory speed.
std::optional<FloatSeq> from_memoryview_bytes(PyObject* o) {
    PyRef view = PyRef::steal(PyMemoryView_FromObject(o));
    if (!view) return std::nullopt;
    PyRef format = PyRef::steal(PyObject_GetAttrString(view.get(), "format"));
    PyRef itemsize = PyRef::steal(PyObject_GetAttrString(view.get(), "itemsize"));
    std::optional<std::string> text;
    if (format && Py_TYPE(format.get()) == &PyUnicode_Type) text = utf8_of(format.get());
    std::int64_t size = 0;
    if (!text || !int64_of(itemsize.get(), size)) return std::nullopt;
    auto type = format_type(text->c_str(), static_cast<Py_ssize_t>(size));
    if (!type) return std::nullopt;
    PyRef bytes = PyRef::steal(PyObject_CallMethod(view.get(), "tobytes", nullptr));
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return std::nullopt;
    StridedView flat;
    flat.type = *type;
    flat.data = reinterpret_cast<const unsigned char*>(data);
    flat.shape = {len / size};
    flat.strides = {size};
    return read_view(std::move(flat));
}

std::optional<FloatSeq> read_candidate(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyList_Type || t == &PyTuple_Type) return std::nullopt;
    bool buffer = t == &PyMemoryView_Type || is_native_type(t, "array", "array");
    if (buffer) {
        const BufferApi& api = buffer_api();
        return api.get != nullptr ? from_buffer(o, api) : from_memoryview_bytes(o);
    }
    if (is_native_type(t, "numpy", "ndarray")) return from_array_interface(o);
    return std::nullopt;
}

}  // namespace

std::optional<FloatSeq> read_float_array(PyObject* o) {
    std::optional<FloatSeq> out = read_candidate(o);
    // Whatever failed on the way only means the sequence path decides.
    if (!out) PyErr_Clear();
    return out;
}

}  // namespace kestrix::py
