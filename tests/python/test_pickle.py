"""Matrices and solvers through pickle (every protocol), copy and their plain
state: same class, same shape, same bits; damaged or foreign states refused
with a message that says what is wrong."""
import array
import copy
import gc
import pickle
import struct
import sys

import numpy as np
import pytest

import kestrix
from conftest import panic_of
from kestrix import KestrixMatrix, KestrixSolver
from reference import bits, fit

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# Quiet NaNs with payloads and both signs, signed zeros, infinities, the
# smallest and largest subnormals, the largest finite value.
SPECIAL_BITS = [0x7FC00001, 0xFFC12345, 0x7FFFFFFF, 0x80000000, 0x00000000, 0x7F800000,
                0xFF800000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x3F800000, 0xC0490FDB]


def from_bits(words, rows, cols):
    return KestrixMatrix(np.array(words, np.uint32).view(np.float32), rows, cols)


def words(m):
    return [bits(v) for v in m.to_list()]


MATRICES = {
    "special values": lambda: from_bits(SPECIAL_BITS, 3, 4),
    "one row": lambda: from_bits(SPECIAL_BITS, 1, 12),
    "empty": lambda: KestrixMatrix([], 0, 0),
    "no rows": lambda: KestrixMatrix([], 0, 5),
    "no columns": lambda: KestrixMatrix([], 7, 0),
    "huge without elements": lambda: KestrixMatrix([], 2**64 - 1, 0),
    "large": lambda: KestrixMatrix(np.arange(300 * 70, dtype=np.float32) / 7, 300, 70),
}


def same_matrix(a, b):
    assert type(b) is KestrixMatrix and b.shape() == a.shape() and words(b) == words(a)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", MATRICES)
def test_matrix_round_trip_keeps_class_shape_and_bits(name, protocol):
    m = MATRICES[name]()
    same_matrix(m, pickle.loads(pickle.dumps(m, protocol=protocol)))


@pytest.mark.parametrize("name", MATRICES)
def test_protocol_5_sends_the_data_out_of_band(name):
    m = MATRICES[name]()
    buffers = []
    data = pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 200
    raw = buffers[0].raw()
    assert raw.readonly and raw.nbytes == 4 * len(m.to_list())
    same_matrix(m, pickle.loads(data, buffers=buffers))
    # Any bytes-like object may carry the data back.
    same_matrix(m, pickle.loads(data, buffers=[bytearray(raw)]))
    with pytest.raises(pickle.UnpicklingError):
        pickle.loads(data)


@pytest.mark.skipif(sys.version_info < (3, 11), reason="the buffer protocol needs 3.11")
def test_the_out_of_band_buffer_is_the_matrix_memory_and_keeps_it_alive():
    m = MATRICES["large"]()
    expected = words(m)
    buffers = []
    pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
    raw = buffers[0].raw()
    assert np.frombuffer(raw, np.uint8).ctypes.data == m.__array_interface__["data"][0]
    with pytest.raises(TypeError, match="read-only"):
        raw[0] = 0
    del m, raw
    gc.collect()
    assert np.frombuffer(buffers[0], np.uint32).tolist() == expected


def trained(rows=3, cols=2, lr=0.05, iters=4):
    x = [float(k % 5) - 1.5 for k in range(rows * cols)]
    y = [float(k) / 3 for k in range(rows)]
    s = KestrixSolver(lr, iters)
    s.fit(KestrixMatrix(x, rows, cols), y)
    return s


def failed_fit():
    s = trained()
    with pytest.raises(BaseException):
        s.fit(KestrixMatrix([1.0] * 8, 4, 2), [1.0])
    return s


SOLVERS = {
    "untrained": lambda: KestrixSolver(0.25, 7),
    "trained": trained,
    "trained on many rows": lambda: trained(rows=500, cols=9),
    "no columns": lambda: trained(cols=0),
    "reset by a failed fit": failed_fit,
    "diverged": lambda: trained(lr=1e30, iters=3),
}
X = KestrixMatrix([float(k) / 4 - 1 for k in range(9 * 4)], 4, 9)


def seen_by_predict(s, x):
    try:
        return [bits(v) for v in s.predict(x)]
    except BaseException as e:  # the contained failure derives from BaseException
        return type(e).__name__, e.args


def behaviour(s):
    """Everything a caller can see of a solver, bit for bit: its state, its
    predictions (or how they fail) and the state after a further fit."""
    out = [s.__getstate__(), seen_by_predict(s, X),
           seen_by_predict(s, KestrixMatrix([1.0, -2.0], 1, 2))]
    s.fit(X, [float(k) for k in range(4)])
    return out + [s.__getstate__()]


def state_bits(state):
    return {k: (v.tobytes() if isinstance(v, array.array) else
                bits(v) if isinstance(v, float) else v) for k, v in state.items()}


def restored_ways(s):
    ways = {f"protocol {p}": (lambda p=p: pickle.loads(pickle.dumps(s, protocol=p)))
            for p in PROTOCOLS}
    ways["copy"] = lambda: copy.copy(s)
    ways["deepcopy"] = lambda: copy.deepcopy(s)

    def set_state():
        other = KestrixSolver(9.0, 1)
        other.fit(KestrixMatrix([1.0] * 3, 1, 3), [2.0])
        assert other.__setstate__(s.__getstate__()) is None
        return other
    ways["__setstate__"] = set_state
    ways["_solver_from_state"] = lambda: kestrix._solver_from_state(s.__getstate__())
    return ways


@pytest.mark.parametrize("name", SOLVERS)
def test_a_restored_solver_behaves_as_the_original_bit_for_bit(name):
    original = SOLVERS[name]()
    for way, restore in restored_ways(original).items():
        restored = restore()
        assert type(restored) is KestrixSolver and restored is not original, way
        got = behaviour(restored)
        want = behaviour(SOLVERS[name]())
        assert [state_bits(x) if isinstance(x, dict) else x for x in got] == \
            [state_bits(x) if isinstance(x, dict) else x for x in want], way


def test_the_state_holds_the_trained_parameters():
    x = [0.5, -1.0, 2.0, 1.5, 0.25, -3.0]
    s = KestrixSolver(0.1, 5)
    s.fit(KestrixMatrix(x, 3, 2), [1.0, -1.0, 0.5])
    state = s.__getstate__()
    w, b = fit(x, [1.0, -1.0, 0.5], 3, 2, 0.1, 5)
    assert list(state) == ["version", "lr", "iters", "weights", "bias"]
    assert state["version"] == 1 and state["iters"] == 5
    assert bits(state["lr"]) == bits(np.float32(0.1)) and bits(state["bias"]) == bits(b)
    assert state["weights"].typecode == "f" and [bits(v) for v in state["weights"]] == \
        [bits(v) for v in w]
    # Weights set through the state are the ones predictions use.
    state["weights"], state["bias"] = [2.0, -1.0], 0.5
    s.__setstate__(state)
    assert s.predict(KestrixMatrix([3.0, 4.0], 1, 2)) == [2.5]


def test_a_copy_trains_without_touching_the_original():
    s = trained()
    before = state_bits(s.__getstate__())
    for c in (copy.copy(s), copy.deepcopy(s), pickle.loads(pickle.dumps(s))):
        c.fit(X, [9.0, 8.0, 7.0, 6.0])
        assert state_bits(s.__getstate__()) == before
        assert len(c.__getstate__()["weights"]) == 9


def test_a_matrix_is_its_own_copy_and_keeps_identity_in_containers():
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    assert copy.copy(m) is m and copy.deepcopy(m) is m
    pair = pickle.loads(pickle.dumps([m, m], protocol=4))
    assert pair[0] is pair[1]
    memo = {}
    assert copy.deepcopy({"a": m, "s": [m]}, memo)["a"] is m


def test_the_matrix_state_is_plain_and_rebuilds_it():
    m = from_bits(SPECIAL_BITS, 4, 3)
    state = m.__getstate__()
    assert state == {"version": 1, "rows": 4, "cols": 3,
                     "data": struct.pack("<12I", *SPECIAL_BITS)}
    same_matrix(m, kestrix._matrix_from_state(state))
    assert kestrix.__all__ == ["KestrixMatrix", "KestrixSolver", "run_heavy_logic"]


def matrix_state(**changes):
    state = {"version": 1, "rows": 2, "cols": 3, "data": bytes(24)}
    state.update(changes)
    return {k: v for k, v in state.items() if v is not DROP}


def solver_state(**changes):
    state = {"version": 1, "lr": 0.5, "iters": 3, "weights": array.array("f", [1.0]),
             "bias": 0.0}
    state.update(changes)
    return {k: v for k, v in state.items() if v is not DROP}


DROP = object()
M, S = "KestrixMatrix state", "KestrixSolver state"
REFUSALS = [
    (matrix_state(version=2), ValueError, f"{M} has format version 2; this kestrix reads version 1"),
    (matrix_state(version=0), ValueError, f"{M} has format version 0; this kestrix reads version 1"),
    (matrix_state(version=2**70), ValueError,
     f"{M} has format version out of range; this kestrix reads version 1"),
    (matrix_state(version="1"), TypeError, f"{M}: 'version' must be an int, not 'str'"),
    (matrix_state(version=DROP), ValueError, f"{M} has no 'version'"),
    # A later version is refused before its keys are looked at.
    ({"version": 2, "shape": (2, 3)}, ValueError,
     f"{M} has format version 2; this kestrix reads version 1"),
    ([1, 2, 3], TypeError, f"{M} must be a dict, not 'list'"),
    (None, TypeError, f"{M} must be a dict, not 'NoneType'"),
    (matrix_state(rows=DROP), ValueError, f"{M} has no 'rows'"),
    (matrix_state(extra=1), ValueError, f"{M} has an unknown key 'extra'"),
    ({**matrix_state(), 7: 1}, ValueError, f"{M} has an unknown key 7"),
    (matrix_state(rows=-1), ValueError, f"{M}: 'rows' must not be negative"),
    (matrix_state(cols=-2**80), ValueError, f"{M}: 'cols' must not be negative"),
    (matrix_state(rows=2**64), ValueError, f"{M}: 'rows' does not fit in 64 bits"),
    (matrix_state(rows=2.0), TypeError, f"{M}: 'rows' must be an int, not 'float'"),
    (matrix_state(data=bytes(20)), ValueError,
     f"{M}: 'data' holds 20 bytes, not 4 for each of the 2 x 3 elements"),
    (matrix_state(rows=2**62, cols=2**62), ValueError,
     f"{M}: 'data' holds 24 bytes, not 4 for each of the 4611686018427387904 x "
     "4611686018427387904 elements"),
    (matrix_state(rows=2**32, cols=2**30, data=b""), ValueError,
     f"{M}: 'data' holds 0 bytes, not 4 for each of the 4294967296 x 1073741824 elements"),
    (matrix_state(data=[0.0] * 6), TypeError,
     f"{M}: 'data' must be a contiguous bytes-like object, not 'list'"),
    (matrix_state(data="x" * 24), TypeError,
     f"{M}: 'data' must be a contiguous bytes-like object, not 'str'"),
    (solver_state(version=3), ValueError, f"{S} has format version 3; this kestrix reads version 1"),
    (solver_state(bias=DROP), ValueError, f"{S} has no 'bias'"),
    (solver_state(lr="0.5"), TypeError, f"{S}: 'lr' must be a float, not 'str'"),
    (solver_state(bias=None), TypeError, f"{S}: 'bias' must be a float, not 'NoneType'"),
    (solver_state(iters=-1), ValueError, f"{S}: 'iters' must not be negative"),
    (solver_state(iters=2**64), ValueError, f"{S}: 'iters' does not fit in 64 bits"),
    (solver_state(weights=5), TypeError, f"{S}: 'weights' must be float values, not 'int'"),
    (solver_state(weights=["a"]), TypeError, f"{S}: 'weights' must be float values, not 'list'"),
    (solver_state(rows=1), ValueError, f"{S} has an unknown key 'rows'"),
    # The form pickles carry: float32 bytes.
    (solver_state(lr=b"\0\0\0"), ValueError, f"{S}: 'lr' holds 3 bytes, not 4 in all"),
    (solver_state(bias=bytes(8)), ValueError, f"{S}: 'bias' holds 8 bytes, not 4 in all"),
    (solver_state(weights=bytes(7)), ValueError,
     f"{S}: 'weights' holds 7 bytes, not 4 for each value"),
]


@pytest.mark.parametrize("state, kind, text", REFUSALS,
                         ids=[f"{i}-{r[2][:40]}" for i, r in enumerate(REFUSALS)])
def test_wrong_states_are_refused_with_what_is_wrong(state, kind, text):
    for rebuild in ([kestrix._solver_from_state, KestrixSolver(1.0, 1).__setstate__]
                    if text.startswith(S) else [kestrix._matrix_from_state]):
        with pytest.raises(kind) as info:
            rebuild(state)
        assert str(info.value) == text and type(info.value) is kind


def test_a_refused_state_leaves_the_solver_as_it_was():
    s = trained()
    before = state_bits(s.__getstate__())
    bad = s.__getstate__()
    bad["iters"] = -1
    with pytest.raises(ValueError):
        s.__setstate__(bad)
    assert state_bits(s.__getstate__()) == before


def test_weights_from_any_float_data():
    for weights in ([1.0, 2.0], (1.0, 2.0), np.array([1, 2], np.float64),
                    KestrixMatrix([1.0, 2.0], 2, 1), array.array("d", [1.0, 2.0])):
        s = kestrix._solver_from_state(solver_state(weights=weights, bias=1.0))
        assert s.predict(KestrixMatrix([1.0, 1.0], 1, 2)) == [4.0]


def test_untrained_restored_solver_fails_as_the_original():
    s = pickle.loads(pickle.dumps(KestrixSolver(0.1, 1)))
    assert panic_of(lambda: s.predict(KestrixMatrix([1.0], 1, 1))).args == (
        "index out of bounds: the len is 0 but the index is 0",)


@pytest.mark.parametrize("call, kind, text", [
    (lambda: KestrixMatrix([1.0], 1, 1).__reduce_ex__(-1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: KestrixMatrix([1.0], 1, 1).__deepcopy__(), TypeError,
     "KestrixMatrix.__deepcopy__() missing 1 required positional argument: 'memo'"),
    (lambda: KestrixSolver(1.0, 1).__setstate__(), TypeError,
     "KestrixSolver.__setstate__() missing 1 required positional argument: 'state'"),
    (lambda: kestrix._matrix_from_state(), TypeError,
     "_matrix_from_state() missing 1 required positional argument: 'state'"),
])
def test_dunder_calls_bind_their_arguments(call, kind, text):
    with pytest.raises(kind) as info:
        call()
    assert str(info.value) == text


def test_a_solver_in_use_cannot_take_a_state():
    s = KestrixSolver(0.1, 1)

    class Weights(list):
        def __iter__(self):
            # Runs while __setstate__ holds the solver.
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                s.predict(X)
            return super().__iter__()
    s.__setstate__(solver_state(weights=Weights([1.0] * 9)))
    assert len(s.__getstate__()["weights"]) == 9
