#include "boundary/memory.h"

#include "boundary/buffer.h"
#include "boundary/guard.h"
#include "boundary/types.h"

namespace kestrix::py {
namespace {

// Py_bf_getbuffer, and Py_TPFLAGS_DISALLOW_INSTANTIATION (3.10+): both exist
// on every interpreter this type is made on.
constexpr int buffer_get_slot = 1;
constexpr unsigned long no_instances_flag = 1UL << 7;

// Holds a matrix and offers its elements as read-only bytes.
struct MemoryObject {
    PyObject_HEAD PyObject* owner;
};

int memory_get_buffer(PyObject* self, BufferView* view, int flags) noexcept {
    PyObject* owner = reinterpret_cast<MemoryObject*>(self)->owner;
    const Matrix& m = reinterpret_cast<MatrixObject*>(owner)->record;
    // Read-only: a writer is refused with BufferError.
    return buffer_api().fill_info(view, self, element_address(m),
                                  static_cast<Py_ssize_t>(m.data.size() * sizeof(float)), 1, flags);
}

void release_memory(PyObject* self) {
    run_release([&] {
        { PyRef owner = PyRef::steal(reinterpret_cast<MemoryObject*>(self)->owner); }
        free_object(self);
    });
}

PyObject* kept_memory_type = nullptr;

Result<PyObject*> memory_type() {
    if (kept_memory_type != nullptr) return kept_memory_type;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(release_memory)},
        {buffer_get_slot, reinterpret_cast<void*>(memory_get_buffer)},
        {Py_tp_doc, const_cast<char*>("A KestrixMatrix's elements as read-only bytes.")},
        {0, nullptr},
    };
    PyType_Spec definition = {"kestrix._MatrixMemory", static_cast<int>(sizeof(MemoryObject)), 0,
                              Py_TPFLAGS_DEFAULT | no_instances_flag, slots};
    PyObject* made = PyType_FromSpec(&definition);
    if (made == nullptr) return fetch_pending_error();
    kept_memory_type = made;
    return made;
}

}  // namespace

void* element_address(const Matrix& m) {
    alignas(64) static float no_elements = 0.0f;
    return m.data.empty() ? &no_elements : const_cast<float*>(m.data.data());
}

Result<PyRef> matrix_memory(PyObject* owner) {
    if (buffer_api().fill_info == nullptr) return PyRef();
    auto type = memory_type();
    if (!type) return type.error();
    auto* t = reinterpret_cast<PyTypeObject*>(*type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
    PyObject* o = alloc(t, 0);
    if (o == nullptr) return fetch_pending_error();
    reinterpret_cast<MemoryObject*>(o)->owner = PyRef::borrow(owner).release();
    return PyRef::steal(o);
}

}  // namespace kestrix::py
