// PyInit_kestrix, the two classes, their method tables and the module function.
#include "boundary/access.h"
#include "boundary/bind.h"
#include "boundary/convert.h"
#include "boundary/entry.h"
#include "boundary/export.h"
#include "boundary/guard.h"
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

// ---- exports without a copy ---------------------------------------------

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
    {nullptr, nullptr, 0, nullptr},
};

// The function object keeps pointing at its definition for the life of the process.
PyMethodDef heavy_def = {"run_heavy_logic", entry(heavy_logic), keywords,
                         "run_heavy_logic(data, iterations)\n--\n\n"};

const ClassDef matrix_class = {"builtins.KestrixMatrix",
                               "KestrixMatrix",
                               "KestrixMatrix(data, rows, cols)\n--\n\n",
                               static_cast<int>(sizeof(MatrixObject)),
                               matrix_new,
                               release_instance<Matrix>,
                               matrix_methods,
                               matrix_getset};
const ClassDef solver_class = {"builtins.KestrixSolver",
                               "KestrixSolver",
                               "KestrixSolver(lr, iters)\n--\n\n",
                               static_cast<int>(sizeof(SolverObject)),
                               solver_new,
                               release_instance<Solver>,
                               solver_methods};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* stored_module = nullptr;

// ---- module body ----------------------------------------------------------

Status module_body(PyObject* module) {
    if (auto s = add_class(module, matrix_class); !s) return s.error();
    if (auto s = add_class(module, solver_class); !s) return s.error();
    return add_function(module, heavy_def);
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
