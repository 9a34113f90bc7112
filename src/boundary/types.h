#pragma once
// The two classes: their instances, type objects and instance lifetime.
#include <cstdint>
#include <new>
#include <utility>

#include "boundary/error.h"
#include "matrix/matrix.h"
#include "solver/solver.h"

namespace kestrix::py {

// Object header, the class's record, then the borrow counter (0 none,
// n > 0 shared accesses, -1 one exclusive access).
template <class Record>
struct Instance {
    PyObject_HEAD Record record;
    std::int64_t borrow;
};
using MatrixObject = Instance<Matrix>;
using SolverObject = Instance<Solver>;

// Py_tp_dealloc of the class whose instances hold a Record.
template <class Record>
void release_instance(PyObject* self);

// The end of every heap type's Py_tp_dealloc, once the object's own parts
// are released: frees it through its type's Py_tp_free and drops its
// reference to the type, as heap types require.
void free_object(PyObject* self);

// What a class is made of; the tables live with the entries in lib.cpp.
struct ClassDef {
    const char* qualified_name;  // "kestrix." + name: pickle finds the class by __module__
    const char* name;
    const char* doc;  // name, text signature, "\n--\n\n"
    int basic_size;
    newfunc constructor;
    destructor release;  // release_instance<Record>
    PyMethodDef* methods;
    PyGetSetDef* getset = nullptr;     // attributes computed on access, if any
    reprfunc repr = nullptr;           // Py_tp_repr, if any
    mutable PyObject* type = nullptr;  // the type object, kept once made
};

// Makes the class's type object on first need; RuntimeError "An error
// occurred while initializing class ..." when that fails.
Result<PyObject*> type_object(const ClassDef& def);

// The type object, for callers that run after initialisation: a failure to
// make it then is an internal failure.
PyObject* made_type_object(const ClassDef& def);

// Registration on the module: the member is set and its name appended to
// the module's __all__.
Status add_class(PyObject* module, const ClassDef& def);
// A module function whose definition lives for the rest of the process;
// `listed` puts it in __all__ too. Returns the function.
Result<PyRef> add_function(PyObject* module, PyMethodDef& def, bool listed = true);

// The two type objects (borrowed), defined with their classes in lib.cpp.
PyObject* matrix_type();
PyObject* solver_type();

// Allocates an instance of `type` holding `record`, or null with the
// interpreter's error pending (the record is then released).
template <class Record>
PyRef alloc_instance(PyObject* type, Record&& record) {
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* o = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (o == nullptr) return {};
    auto* inst = reinterpret_cast<Instance<std::decay_t<Record>>*>(o);
    ::new (&inst->record) std::decay_t<Record>(std::forward<Record>(record));
    inst->borrow = 0;
    return PyRef::steal(o);
}

// Wraps a complete matrix record in a new KestrixMatrix.
PyRef new_matrix_instance(Matrix m);

}  // namespace kestrix::py
