#include "boundary/types.h"

#include <optional>
#include <string>
#include <vector>

#include "boundary/access.h"
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
    std::vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {Py_tp_new, reinterpret_cast<void*>(def.constructor)},
        {Py_tp_methods, def.methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.release)},
    };
    if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
    if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    slots.push_back({0, nullptr});
    // The name text stays readable for the life of the process: before 3.11
    // the type keeps pointing into it.
    PyType_Spec definition = {def.qualified_name, def.basic_size, 0, Py_TPFLAGS_DEFAULT,
                              slots.data()};
    PyObject* made = PyType_FromSpec(&definition);
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

namespace {

// Appends name to __all__ (made when missing) when listed, then sets the
// attribute.
Status add_member(PyObject* module, const char* name, PyObject* member, bool listed = true) {
    if (!listed) {
        if (PyObject_SetAttrString(module, name, member) != 0) return fetch_pending_error();
        return ok();
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_pending_error();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return fetch_pending_error();
    }
    if (!PyList_Check(all.get())) return conversion_error(all.get(), "PyList");
    PyRef text = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) != 0) fail("could not append __name__ to __all__");
    if (PyObject_SetAttrString(module, name, member) != 0) return fetch_pending_error();
    return ok();
}

}  // namespace

Status add_class(PyObject* module, const ClassDef& def) {
    auto type = type_object(def);
    if (!type) return type.error();
    return add_member(module, def.name, *type);
}

Result<PyRef> add_function(PyObject* module, PyMethodDef& def, bool listed) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return fetch_pending_error();
    PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!fn) return fetch_pending_error();
    PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return fetch_pending_error();
    if (!(PyType_GetFlags(Py_TYPE(name.get())) & Py_TPFLAGS_UNICODE_SUBCLASS))
        return conversion_error(name.get(), "PyString");
    std::optional<std::string> text = utf8_of(name.get());
    if (!text) interpreter_call_failed();
    if (auto s = add_member(module, text->c_str(), fn.get(), listed); !s) return s.error();
    return fn;
}

PyRef new_matrix_instance(Matrix m) {
    PyRef o = alloc_instance(matrix_type(), std::move(m));
    if (!o) {
        PyErr err = fetch_pending_error();
        fail("called `Result::unwrap()` on an `Err` value: " + err.debug_rendering());
    }
    return o;
}

void free_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class Record>
void release_instance(PyObject* self) {
    run_release([&] {
        reinterpret_cast<Instance<Record>*>(self)->record.~Record();
        free_object(self);
    });
}

template void release_instance<Matrix>(PyObject*);
template void release_instance<Solver>(PyObject*);

}  // namespace kestrix::py
