#include "boundary/dlpack_input.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "base/strided.h"
#include "boundary/access.h"
#include "boundary/dlpack.h"
#include "boundary/guard.h"

namespace kestrix::py {
namespace {

std::string device_name(std::int64_t type) {
    switch (type) {
        case 1: return "cpu";
        case 2: return "cuda";
        case 3: return "cuda_host";
        case 4: return "opencl";
        case 7: return "vulkan";
        case 8: return "metal";
        case 9: return "vpi";
        case 10: return "rocm";
        case 11: return "rocm_host";
        case 12: return "ext_dev";
        case 13: return "cuda_managed";
        case 14: return "oneapi";
        case 15: return "webgpu";
        case 16: return "hexagon";
        default: return "unknown";
    }
}

PyErr other_device(std::int64_t type, std::int64_t id) {
    const std::string pair = "(" + std::to_string(type) + ", " + std::to_string(id) + ")";
    return PyErr::type_error("cannot read data on device " + device_name(type) + ":" +
                             std::to_string(id) + " (DLPack device " + pair +
                             "): only memory on the CPU, device (1, 0), is read");
}

PyErr not_readable(const std::string& what) {
    return PyErr::type_error("the DLPack tensor " + what);
}

// The device o reports, or an error; a pair of ints is all it may be.
Status check_reported_device(PyObject* o) {
    PyRef device = PyRef::steal(PyObject_CallMethod(o, "__dlpack_device__", nullptr));
    if (!device) return fetch_pending_error();
    PyObject* d = device.get();
    long long v[2] = {0, 0};
    bool pair = PyTuple_Check(d) && PyTuple_Size(d) == 2;
    for (Py_ssize_t i = 0; pair && i < 2; ++i) {
        PyObject* item = PyTuple_GetItem(d, i);
        int overflow = 0;
        pair = PyLong_Check(item) &&
               (v[i] = PyLong_AsLongLongAndOverflow(item, &overflow), overflow == 0) &&
               !(v[i] == -1 && PyErr_Occurred());
    }
    if (!pair) {
        PyErr_Clear();
        return PyErr::type_error("__dlpack_device__() returned '" + qualname(d) +
                                 "', not a (device type, device id) pair of ints");
    }
    if (v[0] != dlpack::cpu_device) return other_device(v[0], v[1]);
    return ok();
}

// The producer's capsule: a versioned one if it offers it, else the plain one
// that producers without keywords (torch 1.13) return.
Result<PyRef> capsule_of(PyObject* o) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(o, "__dlpack__"));
    if (!method) return fetch_pending_error();
    PyRef no_args = checked(PyTuple_New(0));
    PyRef kwargs = checked(PyDict_New());
    PyRef version = checked(Py_BuildValue("(ii)", 1, 0));
    if (PyDict_SetItemString(kwargs.get(), "max_version", version.get()) != 0)
        interpreter_call_failed();
    PyRef capsule = PyRef::steal(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
    if (capsule) return capsule;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return fetch_pending_error();
    PyErr_Clear();
    capsule = PyRef::steal(PyObject_CallObject(method.get(), nullptr));
    if (!capsule) return fetch_pending_error();
    return capsule;
}

std::optional<ElementType> element_type(const dlpack::DataType& t) {
    if (t.lanes != 1) return std::nullopt;
    using E = ElementType;
    switch (t.code) {
        case dlpack::int_code:
            if (t.bits == 8) return E::int8;
            if (t.bits == 16) return E::int16;
            if (t.bits == 32) return E::int32;
            if (t.bits == 64) return E::int64;
            break;
        case dlpack::uint_code:
            if (t.bits == 8) return E::uint8;
            if (t.bits == 16) return E::uint16;
            if (t.bits == 32) return E::uint32;
            if (t.bits == 64) return E::uint64;
            break;
        case dlpack::float_code:
            if (t.bits == 16) return E::float16;
            if (t.bits == 32) return E::float32;
            if (t.bits == 64) return E::float64;
            break;
        case dlpack::bfloat_code:
            if (t.bits == 16) return E::bfloat16;
            break;
        case dlpack::bool_code:
            if (t.bits == 8) return E::boolean;
            break;
        default: break;
    }
    return std::nullopt;
}

// The tensor as a view that check_view accepts, or why it is refused.
Result<StridedView> view_of(const dlpack::Tensor& t) {
    if (t.device.device_type != dlpack::cpu_device)
        return other_device(t.device.device_type, t.device.device_id);
    auto type = element_type(t.dtype);
    if (!type)
        return not_readable("has data type code " + std::to_string(t.dtype.code) + " of " +
                            std::to_string(t.dtype.bits) + " bits and " +
                            std::to_string(t.dtype.lanes) +
                            " lanes, which is no integer, bool or float type read here");
    if (t.ndim < 0 || static_cast<std::size_t>(t.ndim) > max_dimensions)
        return not_readable("has " + std::to_string(t.ndim) + " dimensions, not 0 to " +
                            std::to_string(max_dimensions));
    if (t.ndim > 0 && t.shape == nullptr) return not_readable("has no shape");
    StridedView view;
    view.type = *type;
    const auto ndim = static_cast<std::size_t>(t.ndim);
    view.shape.assign(t.shape, t.shape + ndim);
    const auto item = static_cast<std::int64_t>(item_size(*type));
    if (t.strides == nullptr) {
        auto strides = row_major_strides(view.shape, static_cast<std::size_t>(item));
        if (!strides) return not_readable("is larger than the address space");
        view.strides = std::move(*strides);
    } else {
        view.strides.resize(ndim);
        for (std::size_t d = 0; d < ndim; ++d)
            if (__builtin_mul_overflow(t.strides[d], item, &view.strides[d]))
                return not_readable("has a stride of " + std::to_string(t.strides[d]) +
                                    " elements, which overflows");
    }
    // A tensor without elements may have a null address and any offset: it
    // is never read.
    const bool empty = std::find(view.shape.begin(), view.shape.end(), 0) != view.shape.end();
    if (!empty && t.data != nullptr) {
        std::uintptr_t end = 0;
        if (t.byte_offset > static_cast<std::uint64_t>(PTRDIFF_MAX) ||
            __builtin_add_overflow(reinterpret_cast<std::uintptr_t>(t.data), t.byte_offset, &end))
            return not_readable("has a byte offset past the end of the address space");
        view.data = static_cast<const unsigned char*>(t.data) + t.byte_offset;
    }
    Checked checked_view = check_view(view);
    if (!checked_view.error.empty()) return not_readable(checked_view.error);
    return view;
}

FloatSeq read(const StridedView& view) {
    FloatSeq out(check_view(view).count);
    if (!out.empty()) read_row_major(view, out.data());
    return out;
}

// Reads the tensor, then takes it over from the capsule and releases it, as
// a consumer that copies may do at once.
template <class Managed>
Result<FloatSeq> consume(PyObject* capsule, const char* name, const char* used_name) {
    auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, name));
    if (managed == nullptr) return fetch_pending_error();
    if constexpr (std::is_same_v<Managed, dlpack::ManagedTensorVersioned>) {
        if (managed->version.major != dlpack::known_major)
            return not_readable("has DLPack version " + std::to_string(managed->version.major) +
                                "." + std::to_string(managed->version.minor) +
                                ", not one of version 1");
    }
    auto view = view_of(managed->dl_tensor);
    if (!view) return view.error();
    FloatSeq out = read(*view);
    if (PyCapsule_SetName(capsule, used_name) != 0) interpreter_call_failed();
    if (managed->deleter != nullptr) managed->deleter(managed);
    return out;
}

}  // namespace

std::optional<Result<FloatSeq>> read_dlpack(PyObject* o) {
    // Looked up on the type, as special methods are: a class that defines
    // __dlpack__ (KestrixMatrix, torch.Tensor) is no producer itself.
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (!PyObject_HasAttrString(type, "__dlpack__")) return std::nullopt;
    if (PyObject_HasAttrString(type, "__dlpack_device__")) {
        if (auto s = check_reported_device(o); !s) return Result<FloatSeq>(s.error());
    }
    auto capsule = capsule_of(o);
    if (!capsule) return Result<FloatSeq>(capsule.error());
    PyObject* c = capsule->get();
    if (PyCapsule_IsValid(c, dlpack::versioned_name))
        return consume<dlpack::ManagedTensorVersioned>(c, dlpack::versioned_name,
                                                       dlpack::used_versioned_name);
    if (PyCapsule_IsValid(c, dlpack::unversioned_name))
        return consume<dlpack::ManagedTensor>(c, dlpack::unversioned_name,
                                              dlpack::used_unversioned_name);
    return Result<FloatSeq>(
        PyErr::type_error("__dlpack__() returned '" + qualname(c) +
                          R"(', not a capsule named "dltensor" or "dltensor_versioned")"));
}

}  // namespace kestrix::py
