"""Damaged pickles of matrices and solvers: flipped, inserted and truncated
bytes never crash the process, never read out of bounds (the suite runs under
AddressSanitizer too) and never yield an inconsistent object."""
import pickle
import random

import pytest

from kestrix import KestrixMatrix, KestrixSolver
from reference import bits

SEED = 20261209
MUTATIONS = 3000


def solver(trained):
    s = KestrixSolver(0.25, 3)
    if trained:
        s.fit(KestrixMatrix([1.5, -2.0, 0.5, 4.0, -1.0, 3.0], 3, 2), [1.0, float("nan"), -0.0])
    return s


OBJECTS = {
    "matrix": KestrixMatrix([1.0, -0.0, float("inf"), float("nan"), 1e-45, 3.0], 2, 3),
    "empty matrix": KestrixMatrix([], 0, 4),
    "trained solver": solver(True),
    "untrained solver": solver(False),
}
PROTOCOLS = (0, 2, 4, 5)


def mutate(rng, data):
    b = bytearray(data)
    kind = rng.randrange(3)
    if kind == 0:
        for _ in range(rng.randint(1, 3)):
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
    elif kind == 1:
        at = rng.randrange(len(b) + 1)
        b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 4)))
    else:
        del b[rng.randrange(len(b)):]
    return bytes(b)


def words(m):
    return [bits(v) for v in m.to_list()]


def consistent(obj):
    """Whatever loaded behaves as an object of its kind must."""
    if type(obj) is KestrixMatrix:
        rows, cols = obj.shape()
        values = obj.to_list()
        assert len(values) == rows * cols
        again = pickle.loads(pickle.dumps(obj, protocol=4))
        assert again.shape() == (rows, cols) and words(again) == words(obj)
    elif type(obj) is KestrixSolver:
        state = obj.__getstate__()
        cols = len(state["weights"])
        other = KestrixSolver(1.0, 1)
        other.__setstate__(state)
        x = KestrixMatrix([0.5] * cols, 1, cols)
        assert [bits(v) for v in other.predict(x)] == [bits(v) for v in obj.predict(x)]


# The interpreter's own unpickler makes its memo as large as any index a
# damaged memo opcode names (gigabytes, in seconds); the pure-Python one runs
# the same opcodes with a dict for a memo, and rebuilds objects the same way.
loads = pickle._loads


@pytest.mark.parametrize("name", OBJECTS)
def test_damaged_pickles_fail_cleanly_or_load_whole(name):
    loaded = refused = 0
    for protocol in PROTOCOLS:
        rng = random.Random(f"{SEED}-{name}-{protocol}")
        data = pickle.dumps(OBJECTS[name], protocol=protocol)
        for _ in range(MUTATIONS // (len(OBJECTS) * len(PROTOCOLS))):
            try:
                obj = loads(mutate(rng, data))
            except Exception:
                # Any ordinary exception is a clean refusal; the contained
                # failure (a BaseException) or a crash would not be.
                refused += 1
                continue
            consistent(obj)
            loaded += 1
    # Both outcomes happen, or the mutations would not reach the state.
    assert loaded > 0 and refused > 0


def test_every_single_byte_truncation_is_refused():
    for name, obj in OBJECTS.items():
        for protocol in PROTOCOLS:
            data = pickle.dumps(obj, protocol=protocol)
            for end in range(len(data) - 1):
                with pytest.raises(Exception):
                    loads(data[:end])
