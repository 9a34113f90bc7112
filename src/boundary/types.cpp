#include "boundary/types.h"

#include "boundary/guard.h"

namespace kestrix::py {

PyObject* made_type_object(const ClassDef& def) {
    Result<PyObject*> t = type_object(def);
    if (t) return *t;
    t.error().restore();
    PyErr_Print();
    fail(std::string("failed to create type object for ") + def.name);
}

Result<PyObject*> type_object(const ClassDef& def) {
    if (def.type != nullptr) return def.type;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {Py_tp_new, reinterpret_cast<void*>(def.constructor)},
        {Py_tp_methods, def.methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.release)},
        // Without attributes this is a second end of the list.
        {def.getset != nullptr ? Py_tp_getset : 0, def.getset},
        {0, nullptr},
    };
    // The name text stays readable for the life of the process: before 3.11
    // the type keeps pointing into it.
    PyType_Spec shape = {def.spec_name, def.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* made = PyType_FromSpec(&shape);
    if (made == nullptr) {
        PyErr cause = fetch_pending_error();
        return PyErr::with_cause(
            [] { return PyExc_RuntimeError; },
            std::string("An error occurred while initializing class ") + def.name,
            PyRef::borrow(cause.exception()));
    }
    def.type = made;
    return made;
}

PyRef new_matrix_instance(Matrix m) {
    PyRef o = alloc_instance(matrix_type(), std::move(m));
    if (!o) {
        PyErr err = fetch_pending_error();
        fail("called `Result::unwrap()` on an `Err` value: " + err.debug_rendering());
    }
    return o;
}

template <class Record>
void release_instance(PyObject* self) {
    run_release([&] {
        PyTypeObject* type = Py_TYPE(self);
        reinterpret_cast<Instance<Record>*>(self)->record.~Record();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(type);
    });
}

template void release_instance<Matrix>(PyObject*);
template void release_instance<Solver>(PyObject*);

}  // namespace kestrix::py
