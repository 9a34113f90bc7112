"""The calls a Python program can make, each with its outcome: what the
caller sees of the result, or the exception's exact type and text. One table
feeds the outcome check (test_binding.py), the operands-survive check
(test_failures.py) and the memory and reference-count checks (test_leaks.py).
No numpy here: the valgrind run imports these suites."""
import array
import copy
import math
import pickle
from typing import Callable, NamedTuple

import kestrix
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
from reference import PANIC, f32, fit, key, predict


class Anything:
    """A result other suites check in full (pickles, copies)."""

    def __eq__(self, other):
        return True

    def __repr__(self):
        return "<anything>"


ANY = Anything()


class Call(NamedTuple):
    run: Callable
    outcome: tuple     # ("ok", what conftest.seen shows) or ("raise", type or PANIC, text)
    operands: tuple = ()   # matrices the call must leave as they were


def ok(value):
    return "ok", value


def raises(kind, text):
    return "raise", kind, text


DATA = [float(k) for k in range(64)]
A = KestrixMatrix(DATA, 8, 8)
WIDE = KestrixMatrix(DATA, 2, 32)
S = KestrixSolver(0.01, 2)
S.fit(A, DATA[:8])
S_MODEL = fit(DATA, DATA[:8], 8, 8, 0.01, 2)
EMPTY_ROWS = KestrixMatrix([], 0, 3)
FLOATS = array.array("f", DATA)
DOUBLES = array.array("d", DATA)
HUGE = KestrixMatrix([], 2**40, 0), KestrixMatrix([], 0, 2**40)
PICKLED = pickle.dumps(A, protocol=4), pickle.dumps(S, protocol=5)
M = KestrixMatrix([1.0, 2.0], 1, 2)
SOLVER = KestrixSolver(0.1, 1)

# Every object the table's calls share, for the reference-count checks.
SHARED = (KestrixMatrix, KestrixSolver, A, WIDE, S, EMPTY_ROWS, *HUGE, DATA, *DATA[:4], FLOATS,
          DOUBLES, *PICKLED, M, SOLVER)


def m(rows, cols):
    return KestrixMatrix([float(k) for k in range(rows * cols)], rows, cols)


def trained(cols):
    s = KestrixSolver(0.1, 1)
    s.fit(m(1, cols), [3.0])
    return s


def matrix_seen(data, rows, cols):
    return (rows, cols), [key(f32(v)) for v in data]


def transposed(data, rows, cols):
    return [data[i * cols + j] for j in range(cols) for i in range(rows)]


def product(a, b, rows, inner, cols):
    # Small integers: every sum is exact in any order.
    return [sum(a[i * inner + k] * b[k * cols + j] for k in range(inner))
            for i in range(rows) for j in range(cols)]


class Bad:
    def __float__(self):
        raise ValueError("no float")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Lying(list):
    """A list whose length hint is absurd or broken."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


# Read by iteration, unlike an exact list; its items are DATA's own, watched.
SUBLIST = Lying(DATA, 64)
SHARED += (SUBLIST,)


def released_view():
    view = memoryview(FLOATS)
    view.release()
    return view


def gen():
    yield 1.0


OOB = "index out of bounds: the len is {} but the index is {}"
NEW = "KestrixMatrix.__new__()"
ALLOC = "memory allocation of 4611686018427387904 bytes failed"

CALLS = {
    # --- results
    "construct": Call(lambda: KestrixMatrix(DATA, 8, 8), ok(matrix_seen(DATA, 8, 8))),
    "construct by keyword": Call(lambda: KestrixMatrix(cols=2, rows=1, data=[1.0, 2.0]),
                                 ok(matrix_seen([1.0, 2.0], 1, 2))),
    "construct from tuple": Call(lambda: KestrixMatrix(tuple(DATA), 4, 16),
                                 ok(matrix_seen(DATA, 4, 16))),
    "construct from array": Call(lambda: KestrixMatrix(FLOATS, 8, 8), ok(matrix_seen(DATA, 8, 8))),
    "construct from a 2-d view": Call(lambda: KestrixMatrix(memoryview(DOUBLES).cast("B").cast(
        "d", (8, 8))[::-1], 8, 8), ok(matrix_seen(DATA[56:] + [v for r in range(6, -1, -1)
                                                                for v in DATA[8 * r:8 * r + 8]],
                                                      8, 8))),
    "construct from a list subclass": Call(lambda: KestrixMatrix(SUBLIST, 8, 8),
                                           ok(matrix_seen(DATA, 8, 8))),
    "matrix as data": Call(lambda: KestrixMatrix(A, 4, 16), ok(matrix_seen(DATA, 4, 16))),
    "shape": Call(A.shape, ok((8, 8)), (A,)),
    "to_list": Call(A.to_list, ok([key(v) for v in DATA]), (A,)),
    "add": Call(lambda: A.add(0.5), ok(matrix_seen([v + 0.5 for v in DATA], 8, 8)), (A,)),
    "mul": Call(lambda: A.mul(val=-2.0), ok(matrix_seen([v * -2.0 for v in DATA], 8, 8)), (A,)),
    "transpose": Call(WIDE.transpose, ok(matrix_seen(transposed(DATA, 2, 32), 32, 2)), (WIDE,)),
    "matmul": Call(lambda: A.matmul(A), ok(matrix_seen(product(DATA, DATA, 8, 8, 8), 8, 8)), (A,)),
    "solver": Call(lambda: KestrixSolver(0.1, 3), ok(ANY)),
    "fit": Call(lambda: KestrixSolver(0.01, 1).fit(A, DATA), ok(None), (A,)),
    "fit from array": Call(lambda: KestrixSolver(0.01, 1).fit(A, DOUBLES), ok(None), (A,)),
    "predict": Call(lambda: S.predict(A), ok([key(v) for v in predict(*S_MODEL, DATA, 8, 8)]),
                    (A,)),
    "predict without columns": Call(lambda: S.predict(KestrixMatrix([], 4, 0)),
                                    ok([key(S_MODEL[1])] * 4)),
    "stress": Call(lambda: run_heavy_logic(DATA[:1], 1), ok(key(f32(math.tan(1.0))))),
    "pickle matrix": Call(lambda: pickle.dumps(A, protocol=4), ok(ANY), (A,)),
    "pickle out of band": Call(lambda: pickle.dumps(A, protocol=5, buffer_callback=lambda b: None),
                               ok(ANY), (A,)),
    "unpickle matrix": Call(lambda: pickle.loads(PICKLED[0]), ok(matrix_seen(DATA, 8, 8))),
    "unpickle solver": Call(lambda: pickle.loads(PICKLED[1]), ok(ANY)),
    "solver state": Call(lambda: KestrixSolver(1.0, 1).__setstate__(S.__getstate__()), ok(None)),
    "deepcopy solver": Call(lambda: copy.deepcopy(S), ok(ANY)),
    # --- conversions: what each kind of data and count becomes
    "ints and bools narrowed": Call(lambda: KestrixMatrix([True, 2**70, 16777217], 1, 3),
                                    ok(matrix_seen([1.0, float(2**70), 16777216.0], 1, 3))),
    "range as data": Call(lambda: KestrixMatrix(range(2), 1, 2), ok(matrix_seen([0.0, 1.0], 1, 2))),
    "bytes as data": Call(lambda: KestrixMatrix(b"\x01\x02", 1, 2), ok(matrix_seen([1.0, 2.0], 1, 2))),
    "bytearray as data": Call(lambda: KestrixMatrix(bytearray(b"\x03\x04"), 1, 2),
                              ok(matrix_seen([3.0, 4.0], 1, 2))),
    "doubles rounded": Call(lambda: KestrixMatrix([0.1, 1e300, -1e300], 3, 1),
                            ok(matrix_seen([0.10000000149011612, math.inf, -math.inf], 3, 1))),
    "ties to even at the top": Call(
        lambda: KestrixMatrix([3.4028235677973366e38, 3.4028234663852886e38, 2**128], 1, 3),
        ok(matrix_seen([math.inf, 3.4028234663852886e38, math.inf], 1, 3))),
    "underflow, signed zeros and NaN": Call(
        lambda: KestrixMatrix([1e-50, -1e-50, -0.0, math.nan], 2, 2),
        ok(matrix_seen([0.0, -0.0, -0.0, math.nan], 2, 2))),
    "bool count": Call(lambda: KestrixMatrix([], True, 0), ok(((1, 0), []))),
    "largest count": Call(lambda: KestrixMatrix([], 2**64 - 1, 0), ok(((2**64 - 1, 0), []))),
    "index counts": Call(lambda: KestrixMatrix([], Index(3), 0), ok(((3, 0), []))),
    "index count of 2**63": Call(lambda: KestrixMatrix([], 0, Index(2**63)), ok(((0, 2**63), []))),
    # The length is only a hint: absurd, zero or failing, iteration decides.
    **{f"length hint {name}": Call(lambda length=length: KestrixMatrix(
        Lying([1.0, 2.0, 3.0], length), 1, 3), ok(matrix_seen([1.0, 2.0, 3.0], 1, 3)))
       for name, length in [("2**40", 2**40), ("2**62", 2**62), ("0", 0),
                            ("raising MemoryError", MemoryError()),
                            ("raising TypeError", TypeError("no length"))]},
    # --- binding
    "missing arguments": Call(lambda: KestrixMatrix(DATA), raises(
        TypeError, f"{NEW} missing 2 required positional arguments: 'rows' and 'cols'")),
    "no arguments": Call(lambda: KestrixMatrix(), raises(
        TypeError, f"{NEW} missing 3 required positional arguments: 'data', 'rows', and 'cols'")),
    "missing scalar": Call(lambda: M.mul(), raises(
        TypeError, "KestrixMatrix.mul() missing 1 required positional argument: 'val'")),
    "missing targets": Call(lambda: SOLVER.fit(M), raises(
        TypeError, "KestrixSolver.fit() missing 1 required positional argument: 'y'")),
    "surplus positional": Call(lambda: KestrixSolver(1, 2, 3), raises(
        TypeError, "KestrixSolver.__new__() takes 2 positional arguments but 3 were given")),
    "surplus before a keyword": Call(lambda: M.add(1.0, 2.0, val=3.0), raises(
        TypeError, "KestrixMatrix.add() takes 1 positional arguments but 2 were given")),
    "multiple values": Call(lambda: M.add(1.0, val=2.0), raises(
        TypeError, "KestrixMatrix.add() got multiple values for argument 'val'")),
    "unexpected keyword": Call(lambda: A.add(value=1.0), raises(
        TypeError, "KestrixMatrix.add() got an unexpected keyword argument 'value'")),
    "first unexpected keyword": Call(lambda: M.add(**{"first": 1, "val": 2, "second": 3}), raises(
        TypeError, "KestrixMatrix.add() got an unexpected keyword argument 'first'")),
    "multiple values before unexpected": Call(lambda: M.add(1.0, **{"val": 2, "zzz": 3}), raises(
        TypeError, "KestrixMatrix.add() got multiple values for argument 'val'")),
    "keyword not UTF-8": Call(lambda: M.add(**{"\udc80": 1}), raises(
        TypeError, "KestrixMatrix.add() got an unexpected keyword argument '\ufffd\ufffd\ufffd'")),
    "keyword not ASCII": Call(lambda: M.add(**{"v\u00e4l": 1}), raises(
        TypeError, "KestrixMatrix.add() got an unexpected keyword argument 'v\u00e4l'")),
    # --- refused conversions
    "str as data": Call(lambda: KestrixMatrix("ab", -1, "x"), raises(
        TypeError, "argument 'data': Can't extract `str` to `Vec`")),
    "dict as data": Call(lambda: KestrixMatrix({1: 2.0}, 1, 1), raises(
        TypeError, "argument 'data': 'dict' object cannot be converted to 'Sequence'")),
    "set as data": Call(lambda: KestrixMatrix({1.0}, 1, 1), raises(
        TypeError, "argument 'data': 'set' object cannot be converted to 'Sequence'")),
    "generator as data": Call(lambda: KestrixMatrix(gen(), 1, 1), raises(
        TypeError, "argument 'data': 'generator' object cannot be converted to 'Sequence'")),
    "bad item late": Call(lambda: KestrixMatrix(DATA + ["x"], 5, 13), raises(
        TypeError, "argument 'data': must be real number, not str")),
    "None before a bad count": Call(lambda: KestrixMatrix([None], -1, 1), raises(
        TypeError, "argument 'data': must be real number, not NoneType")),
    "item raising": Call(lambda: KestrixMatrix(DATA + [Bad()], 5, 13), raises(
        ValueError, "no float")),
    "released view": Call(lambda: KestrixMatrix(released_view(), 8, 8), raises(
        ValueError, "operation forbidden on released memoryview object")),
    "negative count": Call(lambda: KestrixMatrix(DATA, -1, 64), raises(
        OverflowError, "can't convert negative int to unsigned")),
    "count of 2**64": Call(lambda: KestrixMatrix([], 2**64, 0), raises(
        OverflowError, "int too big to convert")),
    "float count": Call(lambda: KestrixMatrix(DATA, 8.0, 8), raises(
        TypeError, "argument 'rows': 'float' object cannot be interpreted as an integer")),
    "int beyond a double": Call(lambda: KestrixMatrix([2**1024], 1, 1), raises(
        OverflowError, "int too large to convert to float")),
    "bad scalar": Call(lambda: A.add("1"), raises(
        TypeError, "argument 'val': must be real number, not str"), (A,)),
    "scalar beyond a double": Call(lambda: M.mul(2**2000), raises(
        OverflowError, "int too large to convert to float"), (M,)),
    "bad rate": Call(lambda: KestrixSolver("a", "not looked at"), raises(
        TypeError, "argument 'lr': must be real number, not str")),
    "int as other": Call(lambda: M.matmul(5), raises(
        TypeError, "argument 'other': 'int' object cannot be converted to 'KestrixMatrix'"), (M,)),
    "solver as other": Call(lambda: A.matmul(S), raises(
        TypeError, "argument 'other': 'KestrixSolver' object cannot be converted to "
                   "'KestrixMatrix'"), (A,)),
    "solver as X": Call(lambda: SOLVER.predict(SOLVER), raises(
        TypeError, "argument 'X': 'KestrixSolver' object cannot be converted to 'KestrixMatrix'")),
    "float iterations": Call(lambda: run_heavy_logic([1.0], 1.5), raises(
        TypeError, "argument 'iterations': 'float' object cannot be interpreted as an integer")),
    "bad iterations": Call(lambda: run_heavy_logic(DATA, -1), raises(
        OverflowError, "can't convert negative int to unsigned")),
    "str as targets": Call(lambda: KestrixSolver(0.1, 1).fit(m(1, 2), "xy"), raises(
        TypeError, "argument 'y': Can't extract `str` to `Vec`")),
    "bad targets": Call(lambda: KestrixSolver(0.1, 1).fit(A, DATA[:7] + [None]), raises(
        TypeError, "argument 'y': must be real number, not NoneType"), (A,)),
    # --- failures of the operations
    "length mismatch": Call(lambda: KestrixMatrix(DATA, 9, 8), raises(
        PANIC, "Data length does not match rows * cols")),
    "shape mismatch": Call(lambda: WIDE.matmul(WIDE), raises(
        ValueError, "Shape mismatch for matmul"), (WIDE,)),
    "shape mismatch without columns": Call(lambda: m(2, 1).matmul(m(2, 0)), raises(
        ValueError, "Shape mismatch for matmul")),
    "capacity overflow": Call(lambda: HUGE[0].matmul(HUGE[1]), raises(PANIC, "capacity overflow"),
                              HUGE),
    **{f"capacity overflow at {rows}": Call(
        lambda rows=rows, cols=cols: KestrixMatrix([], rows, 0).matmul(KestrixMatrix([], 0, cols)),
        raises(PANIC, "capacity overflow")) for rows, cols in [(2**31, 2**31), (2**32, 2**32),
                                                               (2**62, 1)]},
    "product too large to allocate": Call(
        lambda: KestrixMatrix([], 2**30, 0).matmul(KestrixMatrix([], 0, 2**30)),
        raises(MemoryError, ALLOC)),
    "prediction overflow": Call(lambda: SOLVER.predict(KestrixMatrix([], 2**61, 0)), raises(
        PANIC, "capacity overflow")),
    "prediction too large to allocate": Call(lambda: SOLVER.predict(KestrixMatrix([], 2**60, 0)),
                                             raises(MemoryError, ALLOC)),
    "transpose without rows": Call(EMPTY_ROWS.transpose, ok(((3, 0), [])), (EMPTY_ROWS,)),
    "short targets": Call(lambda: KestrixSolver(0.1, 1).fit(A, DATA[:3]), raises(
        PANIC, OOB.format(3, 3)), (A,)),
    "short targets of many rows": Call(
        lambda: KestrixSolver(0.1, 1).fit(KestrixMatrix([], 2**40, 0), [1.0, 2.0]),
        raises(PANIC, OOB.format(2, 2))),
    "predict untrained": Call(lambda: KestrixSolver(0.1, 1).predict(m(1, 1)), raises(
        PANIC, OOB.format(0, 0))),
    "predict too wide": Call(lambda: S.predict(WIDE), raises(PANIC, OOB.format(8, 8)), (WIDE,)),
    "predict wider than trained": Call(lambda: trained(2).predict(m(1, 3)), raises(
        PANIC, OOB.format(2, 2))),
    "unknown state version": Call(lambda: kestrix._matrix_from_state({"version": 2}), raises(
        ValueError, "KestrixMatrix state has format version 2; this kestrix reads version 1")),
    "short state data": Call(lambda: kestrix._matrix_from_state(
        {"version": 1, "rows": 8, "cols": 8, "data": bytes(255)}), raises(
        ValueError, "KestrixMatrix state: 'data' holds 255 bytes, not 4 for each of the 8 x 8 "
                    "elements")),
}
