"""Every success and failure path, many times over: memory and references stay put."""
import array
import copy
import pickle
import sys

import pytest

from conftest import assert_flat
import kestrix
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic

DATA = [float(k) for k in range(64)]
A = KestrixMatrix(DATA, 8, 8)
WIDE = KestrixMatrix(DATA, 2, 32)
S = KestrixSolver(0.01, 2)
S.fit(A, DATA[:8])
EMPTY_ROWS = KestrixMatrix([], 0, 3)
FLOATS = array.array("f", DATA)
DOUBLES = array.array("d", DATA)
HUGE = KestrixMatrix([], 2**40, 0), KestrixMatrix([], 0, 2**40)
PICKLED = pickle.dumps(A, protocol=4), pickle.dumps(S, protocol=5)


class Bad:
    def __float__(self):
        raise ValueError("no float")


PATHS = {
    "construct": lambda: KestrixMatrix(DATA, 8, 8),
    "construct from tuple": lambda: KestrixMatrix(tuple(DATA), 4, 16),
    "construct from array": lambda: KestrixMatrix(FLOATS, 8, 8),
    "construct from a 2-d view": lambda: KestrixMatrix(memoryview(DOUBLES).cast("B").cast(
        "d", (8, 8))[::-1], 8, 8),
    "fit from array": lambda: KestrixSolver(0.01, 1).fit(A, DOUBLES),
    "released view": lambda: KestrixMatrix(released_view(), 8, 8),
    "shape": A.shape,
    "to_list": A.to_list,
    "add": lambda: A.add(0.5),
    "mul": lambda: A.mul(val=-2.0),
    "transpose": WIDE.transpose,
    "matmul": lambda: A.matmul(A),
    "solver": lambda: KestrixSolver(0.1, 3),
    "fit": lambda: KestrixSolver(0.01, 1).fit(A, DATA),
    "predict": lambda: S.predict(A),
    "stress": lambda: run_heavy_logic(DATA, 1),
    "matrix as data": lambda: KestrixMatrix(A, 4, 16),
    "pickle matrix": lambda: pickle.dumps(A, protocol=4),
    "pickle out of band": lambda: pickle.dumps(A, protocol=5, buffer_callback=lambda b: None),
    "unpickle matrix": lambda: pickle.loads(PICKLED[0]),
    "unpickle solver": lambda: pickle.loads(PICKLED[1]),
    "solver state": lambda: KestrixSolver(1.0, 1).__setstate__(S.__getstate__()),
    "deepcopy solver": lambda: copy.deepcopy(S),
    # failures
    "surplus positional": lambda: A.add(1.0, 2.0),
    "unexpected keyword": lambda: A.add(value=1.0),
    "missing arguments": lambda: KestrixMatrix(DATA),
    "str as data": lambda: KestrixMatrix("abc", 1, 3),
    "non-sequence": lambda: KestrixMatrix({1: 2.0}, 1, 1),
    "bad item late": lambda: KestrixMatrix(DATA + ["x"], 5, 13),
    "item raising": lambda: KestrixMatrix(DATA + [Bad()], 5, 13),
    "negative count": lambda: KestrixMatrix(DATA, -1, 64),
    "float count": lambda: KestrixMatrix(DATA, 8.0, 8),
    "length mismatch": lambda: KestrixMatrix(DATA, 9, 8),
    "bad scalar": lambda: A.add("1"),
    "wrong other": lambda: A.matmul(S),
    "shape mismatch": lambda: WIDE.matmul(WIDE),
    "capacity overflow": lambda: HUGE[0].matmul(HUGE[1]),
    "transpose without rows": EMPTY_ROWS.transpose,
    "short targets": lambda: KestrixSolver(0.1, 1).fit(A, DATA[:3]),
    "bad targets": lambda: KestrixSolver(0.1, 1).fit(A, DATA[:7] + [None]),
    "predict too wide": lambda: S.predict(WIDE),
    "predict without columns": lambda: S.predict(KestrixMatrix([], 4, 0)),
    "bad iterations": lambda: run_heavy_logic(DATA, -1),
    "unknown state version": lambda: kestrix._matrix_from_state({"version": 2}),
    "short state data": lambda: kestrix._matrix_from_state(
        {"version": 1, "rows": 8, "cols": 8, "data": bytes(255)}),
}


def released_view():
    view = memoryview(FLOATS)
    view.release()
    return view


def call(path):
    try:
        return path()
    except BaseException as e:  # the contained failure derives from BaseException
        return e


@pytest.mark.parametrize("name", sorted(PATHS))
def test_path_keeps_memory_and_references_flat(name, capfd):
    path = PATHS[name]
    watched = (KestrixMatrix, KestrixSolver, A, WIDE, S, EMPTY_ROWS, *HUGE, DATA, *DATA[:4],
               FLOATS, DOUBLES, *PICKLED)
    # A leak of one 64-float buffer per call would be 2.5 MiB a round here.
    assert_flat(lambda: call(path), watched)
    capfd.readouterr()


@pytest.mark.parametrize("name", sorted(n for n in PATHS if n in (
    "construct", "add", "mul", "transpose", "matmul", "to_list", "predict", "shape", "stress")))
def test_results_are_owned_by_the_caller_alone(name):
    result = PATHS[name]()
    # One reference from `result` and one for the call's argument.
    assert sys.getrefcount(result) == 2
    if isinstance(result, (list, tuple)):
        assert all(sys.getrefcount(result[i]) == 2 for i in range(len(result))
                   if isinstance(result[i], float))

