"""NaN payloads across the boundary, bit for bit. Which NaN each kernel keeps
is checked on every variant and pool by the C++ suites; what only Python
shows is that a NaN's payload survives each way in (quieted where it was
signalling) and each way out, through every entry."""
import array

import numpy as np
import pytest

import kestrix

from kestrix import KestrixMatrix, KestrixSolver
from reference import FIRST_NAN, QUIET, bits, f32_of_bits, fit, matmul, predict

# Payloads of both signs, signalling ones that differ from every quiet one
# once quieted.
Q1, Q2, Q3, Q4, Q5 = 0x7FC00011, 0xFFC00022, 0x7FE00033, 0xFFD00044, 0x7FC80055
S1, S2, S3 = 0x7F800044, 0xFF800055, 0x7FA00066


def is_nan(u):
    return (u & 0x7FFFFFFF) > 0x7F800000


def hexes(values):
    return [f"{bits(v):08x}" for v in values]


N1, N2, N3, N4, N5 = (f32_of_bits(u) for u in (Q1, Q2, Q3, Q4, Q5))
# Lists of Python floats in, words out: NaNs meet NaNs in every operation.
X = [N1, 0.75, -1.25, N2, 2.0, N4]           # 2 x 3, or 3 x 2
Y = [-0.5, N3, 1.5, N5, N2, 0.25]           # 3 x 2
P = [N1, N2, -1.25, N3, N4, N5]             # rows for predict
FINITE = [1.0, 2.0, -3.0, 0.5, 4.0, -1.5]


def trained(x, y, lr, iters):
    s = KestrixSolver(lr, iters)
    s.fit(KestrixMatrix(x, 3, 2), y)
    state = s.__getstate__()
    return s, list(state["weights"]) + [state["bias"]]


# entry: (what the module gives, what the rule gives). Three samples: one
# split tree on any pool.
ENTRIES = {
    "add": (lambda: KestrixMatrix(X, 2, 3).add(N3).to_list(),
            lambda: [FIRST_NAN.add(x, N3) for x in X]),
    "mul": (lambda: KestrixMatrix(X, 2, 3).mul(val=-0.5).to_list(),
            lambda: [FIRST_NAN.mul(x, -0.5) for x in X]),
    "matmul": (lambda: KestrixMatrix(X, 2, 3).matmul(KestrixMatrix(Y, 3, 2)).to_list(),
               lambda: matmul(X, Y, 2, 3, 2, FIRST_NAN)),
    "fit": (lambda: trained(X, Y[:3], N5, 2)[1],
            lambda: (lambda w, b: w + [b])(*fit(X, Y[:3], 3, 2, N5, 2, ops=FIRST_NAN))),
    "predict": (lambda: trained(FINITE, [1.0, 2.0, 3.0], 0.125, 1)[0].predict(
                    KestrixMatrix(P, 3, 2)),
                lambda: predict(*fit(FINITE, [1.0, 2.0, 3.0], 3, 2, 0.125, 1), P, 3, 2,
                                ops=FIRST_NAN)),
}


@pytest.mark.parametrize("entry", ENTRIES)
def test_list_in_bits_out(entry):
    got, want = ENTRIES[entry]
    want = want()
    assert any(v != v for v in want)
    assert hexes(got()) == hexes(want)


# --- input: every route keeps a NaN's sign and payload and sets its quiet bit.

def result_words(m):
    return np.asarray(m).view(np.uint32).reshape(-1).tolist()


def solver_weights(raw, n):
    s = KestrixSolver(0.5, 1)
    s.__setstate__({"version": 1, "lr": 0.5, "iters": 1, "weights": array.array("f", raw),
                    "bias": 0.0})
    return list(array.array("I", s.__getstate__()["weights"].tobytes()))


INPUT_ROUTES = {
    "array": lambda raw, n: result_words(KestrixMatrix(array.array("f", raw), 1, n)),
    "memoryview": lambda raw, n: result_words(KestrixMatrix(memoryview(raw).cast("f"), 1, n)),
    "numpy": lambda raw, n: result_words(KestrixMatrix(np.frombuffer(raw, np.float32), 1, n)),
    "strided numpy": lambda raw, n: result_words(
        KestrixMatrix(np.frombuffer(raw, np.uint32).repeat(2).view(np.float32)[::2], 1, n)),
    "matrix state": lambda raw, n: result_words(
        kestrix._matrix_from_state({"version": 1, "rows": 1, "cols": n, "data": raw})),
    "solver state": solver_weights,
}


@pytest.mark.parametrize("route", INPUT_ROUTES)
def test_signalling_input_arrives_quiet(route):
    given = [S1, S2, S3, Q1, Q2, 0x7F800000, 0x80000000, 0x00000001, 0x7FBFFFFF]
    raw = np.array(given, np.uint32).tobytes()
    got = INPUT_ROUTES[route](raw, len(given))
    assert [f"{w:08x}" for w in got] == [f"{w | QUIET if is_nan(w) else w:08x}" for w in given]
