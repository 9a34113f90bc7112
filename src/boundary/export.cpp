#include "boundary/export.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "boundary/convert.h"
#include "boundary/dlpack.h"
#include "boundary/guard.h"
#include "boundary/memory.h"
#include "boundary/types.h"

namespace kestrix::py {
namespace {

using dlpack::ManagedTensor;
using dlpack::ManagedTensorVersioned;

template <class Managed>
constexpr bool versioned = std::is_same_v<Managed, ManagedTensorVersioned>;

template <class Managed>
constexpr const char* capsule_name =
    versioned<Managed> ? dlpack::versioned_name : dlpack::unversioned_name;

// A managed tensor and the arrays its tensor points into, in one block.
template <class Managed>
struct Exported {
    Managed managed{};
    std::int64_t shape[2] = {};
    std::int64_t strides[2] = {};
};

// The deleter of both kinds of managed tensor. Consumers may call it from
// any thread, holding the interpreter lock or not.
template <class Managed>
void release_export(Managed* managed) noexcept {
    auto* owner = static_cast<PyObject*>(managed->manager_ctx);
    // After finalisation the matrix can no longer be released; it goes with
    // the process.
    if (Py_IsInitialized()) {
        PyGILState_STATE state = PyGILState_Ensure();
        { PyRef dropped = PyRef::steal(owner); }
        PyGILState_Release(state);
    }
    delete reinterpret_cast<Exported<Managed>*>(managed);
}

// The capsule's own destructor. A consumer that takes the tensor renames
// the capsule and calls the deleter itself, so only a capsule still under
// its first name owns the tensor.
template <class Managed>
void destroy_capsule(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, capsule_name<Managed>)) return;
    auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, capsule_name<Managed>));
    managed->deleter(managed);
}

template <class Managed>
PyRef make_capsule(PyRef owner, const Matrix& m, bool copied) {
    auto exported = std::make_unique<Exported<Managed>>();
    exported->shape[0] = static_cast<std::int64_t>(m.rows);
    exported->shape[1] = static_cast<std::int64_t>(m.cols);
    exported->strides[0] = static_cast<std::int64_t>(m.cols);
    exported->strides[1] = 1;
    Managed& managed = exported->managed;
    dlpack::Tensor& t = managed.dl_tensor;
    t.data = element_address(m);
    t.device = {dlpack::cpu_device, 0};
    t.ndim = 2;
    t.dtype = {dlpack::float_code, 32, 1};
    t.shape = exported->shape;
    t.strides = exported->strides;
    t.byte_offset = 0;
    if constexpr (versioned<Managed>) {
        managed.version = {1, 0};
        managed.flags = copied ? dlpack::is_copied_flag : dlpack::read_only_flag;
    }
    managed.deleter = release_export<Managed>;
    managed.manager_ctx = owner.release();
    PyObject* capsule = PyCapsule_New(&managed, capsule_name<Managed>, destroy_capsule<Managed>);
    Managed* given = &exported.release()->managed;
    if (capsule == nullptr) {
        release_export(given);
        interpreter_call_failed();
    }
    return PyRef::steal(capsule);
}

PyErr buffer_error(std::string message) {
    return PyErr::lazy([] { return PyExc_BufferError; }, std::move(message));
}

bool is_none(const PyRef& arg) { return !arg || arg.get() == Py_None; }

// A tuple of two ints, or an error naming the parameter.
Result<std::pair<long long, long long>> int_pair(const PyRef& arg, const char* name) {
    PyObject* o = arg.get();
    if (!PyTuple_Check(o) || PyTuple_Size(o) != 2 || !PyLong_Check(PyTuple_GetItem(o, 0)) ||
        !PyLong_Check(PyTuple_GetItem(o, 1)))
        return PyErr::type_error(std::string(name) + " must be None or a tuple of two ints");
    long long v[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        int overflow = 0;
        v[i] = PyLong_AsLongLongAndOverflow(PyTuple_GetItem(o, i), &overflow);
        if (overflow != 0) v[i] = overflow > 0 ? std::numeric_limits<long long>::max() : -1;
    }
    return std::pair{v[0], v[1]};
}

}  // namespace

PyRef array_interface(const Matrix& m) {
    PyRef dict = checked(PyDict_New());
    auto set = [&](const char* key, PyRef value) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) != 0) interpreter_call_failed();
    };
    set("version", checked(PyLong_FromLong(3)));
    set("typestr", checked(PyUnicode_FromString("<f4")));
    set("shape", count_pair(m.rows, m.cols));
    PyRef data = checked(PyTuple_New(2));
    PyObject* address = PyLong_FromVoidPtr(element_address(m));
    if (address == nullptr || PyTuple_SetItem(data.get(), 0, address) != 0)
        interpreter_call_failed();
    if (PyTuple_SetItem(data.get(), 1, PyRef::borrow(Py_True).release()) != 0)
        interpreter_call_failed();
    set("data", std::move(data));
    set("strides", none_object());
    return dict;
}

Result<PyRef> dlpack_capsule(PyObject* matrix, const Matrix& m, const PyRef& stream,
                             const PyRef& max_version, const PyRef& dl_device, const PyRef& copy) {
    if (!is_none(stream)) return buffer_error("stream must be None for data on the CPU");
    bool versioned_capsule = false;
    if (!is_none(max_version)) {
        auto version = int_pair(max_version, "max_version");
        if (!version) return version.error();
        versioned_capsule = version->first >= 1;
    }
    if (!is_none(dl_device)) {
        auto device = int_pair(dl_device, "dl_device");
        if (!device) return device.error();
        if (*device != std::pair<long long, long long>{dlpack::cpu_device, 0})
            return buffer_error("a KestrixMatrix can only be exported to the CPU, device (1, 0)");
    }
    if (!is_none(copy) && copy.get() != Py_True && copy.get() != Py_False)
        return PyErr::type_error("copy must be None, True or False");
    constexpr auto dimension_limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (m.rows > dimension_limit || m.cols > dimension_limit)
        return buffer_error("the matrix's shape does not fit DLPack's signed 64-bit dimensions");

    // The unversioned capsule has no read-only flag: its consumer assumes it
    // may write, so it gets a copy unless it forbids one.
    if (!versioned_capsule && copy.get() == Py_False)
        return buffer_error(
            "a KestrixMatrix shares its memory only read-only, through a versioned capsule: "
            "ask for max_version (1, 0) or later, or allow a copy");
    // A copy is a matrix of its own that nobody else sees, so the consumer
    // may write to it.
    bool copied = copy.get() == Py_True || !versioned_capsule;
    PyRef owner = copied ? new_matrix_instance(Matrix{FloatSeq(m.data), m.rows, m.cols})
                         : PyRef::borrow(matrix);
    const Matrix& record = reinterpret_cast<MatrixObject*>(owner.get())->record;
    if (versioned_capsule)
        return make_capsule<ManagedTensorVersioned>(std::move(owner), record, copied);
    return make_capsule<ManagedTensor>(std::move(owner), record, copied);
}

PyRef dlpack_device() { return count_pair(dlpack::cpu_device, 0); }

}  // namespace kestrix::py
