// PyInit_kestrix, the two classes, their method tables and the module function.
#include "boundary/access.h"
#include "boundary/bind.h"
#include "boundary/convert.h"
#include "boundary/describe.h"
#include "boundary/entry.h"
#include "boundary/export.h"
#include "boundary/guard.h"
#include "boundary/state.h"
#include "boundary/types.h"
#include "matrix/matrix.h"
#include "solver/solver.h"
#include "stress/stress.h"

namespace kestrix::py {
namespace {

// ---- KestrixMatrix --------------------------------------------------------

constexpr Params<FloatsArg, CountArg, CountArg> matrix_new_params{
    {"KestrixMatrix.__new__()", {"data", "rows", "cols"}, 3}};
constexpr Params<Float32Arg> add_params{{"KestrixMatrix.add()", {"val"}, 1}};
constexpr Params<Float32Arg> mul_params{{"KestrixMatrix.mul()", {"val"}, 1}};
constexpr Params<MatrixArg> matmul_params{{"KestrixMatrix.matmul()", {"other"}, 1}};
constexpr Params<ObjectArg, ObjectArg, ObjectArg, ObjectArg> dlpack_params{
    {"KestrixMatrix.__dlpack__()", {"stream", "max_version", "dl_device", "copy"}, 0, 4}};

// A new instance of `type` holding `record`.
template <class Record>
Result<PyRef> new_instance(PyTypeObject* type, Record record) {
    PyRef self = alloc_instance(reinterpret_cast<PyObject*>(type), std::move(record));
    if (!self) return fetch_pending_error();
    return self;
}

auto matrix_of(PyObject* self) {
    return [self] { return shared_matrix(self); };
}

PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry(matrix_new_params, args, kwargs, no_receiver,
                     [&](Unit, FloatSeq& data, std::uint64_t rows, std::uint64_t cols) {
                         return new_instance(type, make_matrix(std::move(data), rows, cols));
                     });
}

// add and mul: one scalar combined with every element.
template <Matrix (*op)(const Matrix&, float, PoolRef)>
PyObject* matrix_scalar(const Params<Float32Arg>& params, PyObject* self, PyObject* args,
                        PyObject* kwargs) {
    return run_entry(params, args, kwargs, matrix_of(self), [](auto& me, float val) {
        return new_matrix_instance(op(me.record(), val, {}));
    });
}

PyObject* matrix_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return matrix_scalar<add>(add_params, self, args, kwargs);
}

PyObject* matrix_mul(PyObject* self, PyObject* args, PyObject* kwargs) {
    return matrix_scalar<mul>(mul_params, self, args, kwargs);
}

PyObject* matrix_matmul(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(matmul_params, args, kwargs, matrix_of(self),
                     [](auto& me, auto& other) -> Result<PyRef> {
                         const Matrix &a = me.record(), &b = other.record();
                         if (a.cols != b.rows)
                             return PyErr::value_error("Shape mismatch for matmul");
                         return new_matrix_instance(matmul(a, b));
                     });
}

PyObject* matrix_transpose(PyObject* self, PyObject*) {
    return run_method(matrix_of(self),
                      [](auto& me) { return new_matrix_instance(transpose(me.record())); });
}

PyObject* matrix_shape(PyObject* self, PyObject*) {
    return run_method(matrix_of(self),
                      [](auto& me) { return count_pair(me.record().rows, me.record().cols); });
}

PyObject* matrix_to_list(PyObject* self, PyObject*) {
    return run_method(matrix_of(self), [](auto& me) { return float_list(me.record().data); });
}

// ---- what tools see -------------------------------------------------------

PyObject* matrix_repr_entry(PyObject* self) {
    return run_method(matrix_of(self), [](auto& me) { return matrix_repr(me.record()); });
}

PyObject* matrix_sizeof(PyObject* self, PyObject*) {
    return run_method(matrix_of(self), [](auto& me) {
        return size_in_memory(sizeof(MatrixObject), me.record().data);
    });
}

PyObject* matrix_dask_tokenize(PyObject* self, PyObject*) {
    return run_method(matrix_of(self),
                      [self](auto& me) { return matrix_token(self, me.record()); });
}

// ---- exports ----------------------------------------------------------------
// ---------------------------------------------

PyObject* matrix_array_interface(PyObject* self, void*) {
    return run_method(matrix_of(self), [](auto& me) { return array_interface(me.record()); });
}

PyObject* matrix_dlpack(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(
        dlpack_params, args, kwargs, matrix_of(self),
        [&](auto& me, PyRef& stream, PyRef& max_version, PyRef& dl_device, PyRef& copy) {
            return dlpack_capsule(self, me.record(), stream, max_version, dl_device, copy);
        });
}

PyObject* matrix_dlpack_device(PyObject* self, PyObject*) {
    return run_method(matrix_of(self), [](auto&) { return dlpack_device(); });
}

// ---- pickle and copy ------------------------------------------------------

// The module functions that rebuild an instance from its state, kept from
// registration on: a reduction names them.
PyObject* matrix_restorer = nullptr;
PyObject* solver_restorer = nullptr;

constexpr Params<CountArg> matrix_reduce_params{{"KestrixMatrix.__reduce_ex__()", {"protocol"}, 1}};
constexpr Params<ObjectArg> matrix_deepcopy_params{{"KestrixMatrix.__deepcopy__()", {"memo"}, 1}};

// From protocol 5 on, the data travels as a buffer that a pickler can send
// out of band.
Result<PyRef> matrix_reduction(PyObject* self, const Matrix& m, std::uint64_t protocol) {
    if (protocol < 5) return reduction(matrix_restorer, matrix_state(m));
    auto state = matrix_state_out_of_band(self, m);
    if (!state) return state.error();
    return reduction(matrix_restorer, std::move(*state));
}

PyObject* matrix_reduce_ex(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(matrix_reduce_params, args, kwargs, matrix_of(self),
                     [self](auto& me, std::uint64_t protocol) {
                         return matrix_reduction(self, me.record(), protocol);
                     });
}

PyObject* matrix_reduce(PyObject* self, PyObject*) {
    return run_method(matrix_of(self),
                      [self](auto& me) { return matrix_reduction(self, me.record(), 2); });
}

PyObject* matrix_get_state(PyObject* self, PyObject*) {
    return run_method(matrix_of(self), [](auto& me) { return matrix_state(me.record()); });
}

// A matrix never changes, so like a tuple it is its own copy.
PyObject* matrix_copy(PyObject* self, PyObject*) {
    return run_method(matrix_of(self), [self](auto&) { return PyRef::borrow(self); });
}

PyObject* matrix_deepcopy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(matrix_deepcopy_params, args, kwargs, matrix_of(self),
                     [self](auto&, PyRef&) { return PyRef::borrow(self); });
}

constexpr Params<ObjectArg> state_params{{"_matrix_from_state()", {"state"}, 1}};

PyObject* matrix_from_state_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_entry(state_params, args, kwargs, no_receiver,
                     [](Unit, PyRef& state) -> Result<PyRef> {
                         auto record = matrix_from_state(state.get());
                         if (!record) return record.error();
                         return new_matrix_instance(std::move(*record));
                     });
}

// ---- KestrixSolver --------------------------------------------------------

constexpr Params<Float32Arg, CountArg> solver_new_params{
    {"KestrixSolver.__new__()", {"lr", "iters"}, 2}};
constexpr Params<MatrixArg, FloatsArg> fit_params{{"KestrixSolver.fit()", {"X", "y"}, 2}};
constexpr Params<MatrixArg> predict_params{{"KestrixSolver.predict()", {"X"}, 1}};

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry(solver_new_params, args, kwargs, no_receiver,
                     [&](Unit, float lr, std::uint64_t iters) {
                         Solver record;
                         record.lr = lr;
                         record.iters = iters;
                         return new_instance(type, std::move(record));
                     });
}

PyObject* solver_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(
        fit_params, args, kwargs, [self] { return exclusive_solver(self); },
        [](auto& me, auto& x, FloatSeq& y) {
            fit(me.record(), x.record(), y);
            return none_object();
        });
}

PyObject* solver_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(
        predict_params, args, kwargs, [self] { return shared_solver(self); },
        [](auto& me, auto& x) { return float_list(predict(me.record(), x.record())); });
}

constexpr Params<CountArg> solver_reduce_params{{"KestrixSolver.__reduce_ex__()", {"protocol"}, 1}};
constexpr Params<ObjectArg> solver_set_state_params{{"KestrixSolver.__setstate__()", {"state"}, 1}};
constexpr Params<ObjectArg> solver_deepcopy_params{{"KestrixSolver.__deepcopy__()", {"memo"}, 1}};
constexpr Params<ObjectArg> solver_state_params{{"_solver_from_state()", {"state"}, 1}};

auto shared_solver_of(PyObject* self) {
    return [self] { return shared_solver(self); };
}

PyRef solver_reduction(const Solver& s) {
    return reduction(solver_restorer, solver_state_packed(s));
}

PyObject* solver_reduce_ex(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(solver_reduce_params, args, kwargs, shared_solver_of(self),
                     [](auto& me, std::uint64_t) { return solver_reduction(me.record()); });
}

PyObject* solver_reduce(PyObject* self, PyObject*) {
    return run_method(shared_solver_of(self),
                      [](auto& me) { return solver_reduction(me.record()); });
}

PyObject* solver_get_state(PyObject* self, PyObject*) {
    return run_method(shared_solver_of(self), [](auto& me) { return solver_state(me.record()); });
}

// The state is checked whole before the solver changes.
PyObject* solver_set_state(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(
        solver_set_state_params, args, kwargs, [self] { return exclusive_solver(self); },
        [](auto& me, PyRef& state) -> Result<PyRef> {
            auto record = solver_from_state(state.get());
            if (!record) return record.error();
            me.record() = std::move(*record);
            return none_object();
        });
}

// A copy, shallow or deep, is a solver of its own: training one leaves the
// other as it was.
PyObject* solver_copy(PyObject* self, PyObject*) {
    return run_method(shared_solver_of(self), [self](auto& me) {
        return new_instance(Py_TYPE(self), Solver(me.record()));
    });
}

PyObject* solver_deepcopy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_entry(
        solver_deepcopy_params, args, kwargs, shared_solver_of(self),
        [self](auto& me, PyRef&) { return new_instance(Py_TYPE(self), Solver(me.record())); });
}

PyObject* solver_from_state_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_entry(
        solver_state_params, args, kwargs, no_receiver, [](Unit, PyRef& state) -> Result<PyRef> {
            auto record = solver_from_state(state.get());
            if (!record) return record.error();
            return new_instance(reinterpret_cast<PyTypeObject*>(solver_type()), std::move(*record));
        });
}

PyObject* solver_repr_entry(PyObject* self) {
    return run_method(shared_solver_of(self), [](auto& me) { return solver_repr(me.record()); });
}

PyObject* solver_sizeof(PyObject* self, PyObject*) {
    return run_method(shared_solver_of(self), [](auto& me) {
        return size_in_memory(sizeof(SolverObject), me.record().weights);
    });
}

// ---- run_heavy_logic ------------------------------------------------------

constexpr Params<FloatsArg, CountArg> heavy_params{
    {"run_heavy_logic()", {"data", "iterations"}, 2}};

PyObject* heavy_logic(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_entry(heavy_params, args, kwargs, no_receiver,
                     [](Unit, FloatSeq& data, std::uint64_t iterations) {
                         return float_object(run_heavy_logic(data, iterations));
                     });
}

// ---- tables ---------------------------------------------------------------

template <class F>
PyCFunction entry(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int keywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef matrix_methods[] = {
    {"matmul", entry(matrix_matmul), keywords, "matmul($self, other)\n--\n\n"},
    {"add", entry(matrix_add), keywords, "add($self, val)\n--\n\n"},
    {"mul", entry(matrix_mul), keywords, "mul($self, val)\n--\n\n"},
    {"transpose", entry(matrix_transpose), METH_NOARGS, "transpose($self)\n--\n\n"},
    {"shape", entry(matrix_shape), METH_NOARGS, "shape($self)\n--\n\n"},
    {"to_list", entry(matrix_to_list), METH_NOARGS, "to_list($self)\n--\n\n"},
    {"__dlpack__", entry(matrix_dlpack), keywords,
     "__dlpack__($self, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"},
    {"__dlpack_device__", entry(matrix_dlpack_device), METH_NOARGS,
     "__dlpack_device__($self)\n--\n\n"},
    {"__reduce_ex__", entry(matrix_reduce_ex), keywords, "__reduce_ex__($self, protocol)\n--\n\n"},
    {"__reduce__", entry(matrix_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__getstate__", entry(matrix_get_state), METH_NOARGS,
     "__getstate__($self)\n--\n\nThe matrix as {'version': 1, 'rows': int, 'cols': int, "
     "'data': bytes}, the data\nbeing rows * cols little-endian float32 values, row by row."},
    {"__copy__", entry(matrix_copy), METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", entry(matrix_deepcopy), keywords, "__deepcopy__($self, memo)\n--\n\n"},
    {"__sizeof__", entry(matrix_sizeof), METH_NOARGS,
     "__sizeof__($self)\n--\n\nThe matrix's size in memory, its elements included, in bytes."},
    {"__dask_tokenize__", entry(matrix_dask_tokenize), METH_NOARGS,
     "__dask_tokenize__($self)\n--\n\nA value that only equal shapes and bits share: the "
     "shape and a SHA-256\ndigest of the elements."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef matrix_getset[] = {
    {"__array_interface__", matrix_array_interface, nullptr,
     "The matrix as a read-only version 3 array interface, without a copy.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef solver_methods[] = {
    {"fit", entry(solver_fit), keywords, "fit($self, X, y)\n--\n\n"},
    {"predict", entry(solver_predict), keywords, "predict($self, X)\n--\n\n"},
    {"__reduce_ex__", entry(solver_reduce_ex), keywords, "__reduce_ex__($self, protocol)\n--\n\n"},
    {"__reduce__", entry(solver_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__getstate__", entry(solver_get_state), METH_NOARGS,
     "__getstate__($self)\n--\n\nThe model as {'version': 1, 'lr': float, 'iters': int, "
     "'weights':\narray.array('f'), 'bias': float}."},
    {"__setstate__", entry(solver_set_state), keywords,
     "__setstate__($self, state)\n--\n\nReplaces the model by a state of the form "
     "__getstate__() returns."},
    {"__copy__", entry(solver_copy), METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", entry(solver_deepcopy), keywords, "__deepcopy__($self, memo)\n--\n\n"},
    {"__sizeof__", entry(solver_sizeof), METH_NOARGS,
     "__sizeof__($self)\n--\n\nThe model's size in memory, its weights included, in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

// The function object keeps pointing at its definition for the life of the process.
PyMethodDef heavy_def = {"run_heavy_logic", entry(heavy_logic), keywords,
                         "run_heavy_logic(data, iterations)\n--\n\n"};
PyMethodDef matrix_restorer_def = {"_matrix_from_state", entry(matrix_from_state_entry), keywords,
                                   "_matrix_from_state(state)\n--\n\n"};
PyMethodDef solver_restorer_def = {"_solver_from_state", entry(solver_from_state_entry), keywords,
                                   "_solver_from_state(state)\n--\n\n"};

const ClassDef matrix_class = {"kestrix.KestrixMatrix",
                               "KestrixMatrix",
                               "KestrixMatrix(data, rows, cols)\n--\n\n",
                               static_cast<int>(sizeof(MatrixObject)),
                               matrix_new,
                               release_instance<Matrix>,
                               matrix_methods,
                               matrix_getset,
                               matrix_repr_entry};
const ClassDef solver_class = {"kestrix.KestrixSolver",
                               "KestrixSolver",
                               "KestrixSolver(lr, iters)\n--\n\n",
                               static_cast<int>(sizeof(SolverObject)),
                               solver_new,
                               release_instance<Solver>,
                               solver_methods,
                               nullptr,
                               solver_repr_entry};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* stored_module = nullptr;

// The release, as the package's metadata gives it.
constexpr const char* version = "0.1.0";

// ---- module body ----------------------------------------------------------

Status module_body(PyObject* module) {
    if (auto s = add_class(module, matrix_class); !s) return s.error();
    if (auto s = add_class(module, solver_class); !s) return s.error();
    if (auto f = add_function(module, heavy_def); !f) return f.error();
    // Unlisted: pickles name them, people need not.
    auto matrix_fn = add_function(module, matrix_restorer_def, false);
    if (!matrix_fn) return matrix_fn.error();
    auto solver_fn = add_function(module, solver_restorer_def, false);
    if (!solver_fn) return solver_fn.error();
    matrix_restorer = matrix_fn->release();
    solver_restorer = solver_fn->release();
    if (PyModule_AddStringConstant(module, "__version__", version) != 0)
        return fetch_pending_error();
    return ok();
}

}  // namespace

PyObject* matrix_type() { return made_type_object(matrix_class); }
PyObject* solver_type() { return made_type_object(solver_class); }

}  // namespace kestrix::py

PyMODINIT_FUNC PyInit_kestrix() {
    using namespace kestrix::py;
    return run_guarded([]() -> Result<PyRef> {
        if (stored_module != nullptr)
            return PyErr::import_error(
                "PyO3 modules compiled for CPython 3.8 or older may only be initialized once "
                "per interpreter process");
        PyRef module = PyRef::steal(PyModule_Create2(&module_def, 3));
        if (!module) return fetch_pending_error();
        if (auto s = module_body(module.get()); !s) return s.error();
        if (stored_module == nullptr) stored_module = module.release();
        return PyRef::borrow(stored_module);
    });
}
