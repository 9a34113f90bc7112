"""Which NaN each operation returns, bit for bit, on every kernel path.

The model is the rule of x86-64 SSE: of two operands, the first NaN wins,
quieted. Every processor kestrix runs on gives the same bits, so a result
that follows another rule (a kernel that swaps its operands, a processor
that prefers a signalling NaN in second place) fails here. NaNs that an
operation creates from other values are the processor's own and are left
out, except for the check that they are NaN."""
import array
import json
import struct

import numpy as np
import pytest

import kestrix

from conftest import run_child
from kestrix import KestrixMatrix, KestrixSolver
from reference import fixed_tree, reduce_tree

QUIET = 0x00400000

# Payloads in both roles and both signs: quiet ones, and signalling ones that
# differ from every quiet one once quieted. Data from Python arrives quiet, as
# a float's would (see test_signalling_input_arrives_quiet), so these check
# that no result depends on how a NaN was given.
Q1, Q2, Q3 = 0x7FC00011, 0xFFC00022, 0x7FE00033
S1, S2, S3 = 0x7F800044, 0xFF800055, 0x7FA00066


def is_nan(u):
    return (u & 0x7FFFFFFF) > 0x7F800000


F32, U32 = struct.Struct("f"), struct.Struct("I")


def value(u):
    return F32.unpack(U32.pack(u))[0]


def word(v):
    """The float32 word nearest to v (a C cast: too large becomes infinite)."""
    try:
        return U32.unpack(F32.pack(v))[0]
    except OverflowError:
        return 0x7F800000 if v > 0 else 0xFF800000


def operation(f):
    """f on float32 words, the first NaN operand winning, quieted. Doubles
    hold each exact result, so rounding it once gives the float32 one."""
    def op(x, y):
        if is_nan(x):
            return x | QUIET
        if is_nan(y):
            return y | QUIET
        r = word(f(value(x), value(y)))
        assert not is_nan(r), "the cases must not create NaNs"
        return r
    return op


add = operation(lambda x, y: x + y)
sub = operation(lambda x, y: x - y)
mul = operation(lambda x, y: x * y)
div = operation(lambda x, y: x / y)


def vector_operation(f):
    """operation over arrays of words."""
    def op(x, y):
        with np.errstate(all="ignore"):
            r = f(x.view(np.float32), y.view(np.float32)).view(np.uint32)
        nx, ny = is_nan(x), is_nan(y)
        assert not (is_nan(r) & ~nx & ~ny).any(), "the cases must not create NaNs"
        return np.where(nx, x | QUIET, np.where(ny, y | QUIET, r)).astype(np.uint32)
    return op


vadd = vector_operation(np.add)
vmul = vector_operation(np.multiply)


def matrix(words, rows, cols):
    return KestrixMatrix(np.array(words, np.uint32).view(np.float32), rows, cols)


def floats(words):
    return array.array("f", np.array(words, np.uint32).tobytes())


def result_words(m):
    return np.asarray(m).view(np.uint32).reshape(-1).tolist()


def hexes(words):
    return [f"{w:08x}" for w in words]


def mixed(n, seed, nans):
    """n words: finite nonzero values with the NaNs of `nans` at every fifth
    place, cycling, so every lane position of a vector meets each kind."""
    rng = np.random.default_rng(seed)
    out = (rng.uniform(0.5, 2.0, n) * rng.choice([-1, 1], n)).astype(np.float32).view(np.uint32)
    out = out.tolist()
    for i in range(seed % min(5, n), n, 5):
        out[i] = nans[(i // 5) % len(nans)]
    return out


# --- add and mul: element (first) op v (second); v comes from a Python float,
# so it is always quiet.

SIZES = [1, 3, 7, 8, 9, 17, 100, 4099]
SCALARS = {"number": 1.5, "quiet NaN": float(value(Q3))}
ELEMENT_NANS = {"quiet": [Q1, Q2], "signalling": [S1, S2], "both": [Q1, S2, S1, Q2]}


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("scalar", SCALARS)
@pytest.mark.parametrize("nans", ELEMENT_NANS)
@pytest.mark.parametrize("name, model", [("add", add), ("mul", mul)])
def test_element_then_scalar(name, model, nans, scalar, size):
    v = SCALARS[scalar]
    data = mixed(size, size, ELEMENT_NANS[nans])
    got = result_words(getattr(matrix(data, 1, size), name)(v))
    want = [model(x, word(v)) for x in data]
    assert hexes(got) == hexes(want)


def test_a_created_nan_is_a_nan():
    # inf - inf: each processor has its own default NaN; only NaN-ness is defined.
    got = result_words(matrix([0x7F800000] * 9, 3, 3).add(float("-inf")))
    assert all(is_nan(w) for w in got)


# --- the product: c = (b[k][j] * a[i][k]) + c, k ascending from +0.0.

def product_model(a, b, m, k, n):
    A = np.array(a, np.uint32).reshape(m, k)
    B = np.array(b, np.uint32).reshape(k, n)
    C = np.zeros((m, n), np.uint32)
    for p in range(k):
        C = vadd(vmul(np.broadcast_to(B[p], (m, n)), np.broadcast_to(A[:, p:p + 1], (m, n))), C)
    return C.reshape(-1).tolist()


# Narrow (few columns), streamed (few rows), tiles read in place (up to 128
# rows), tiles over a packed right operand (more rows, and k * n beyond the
# in-place limit), and shapes with a ragged edge panel or row tile.
SHAPES = [(1, 1, 1), (3, 7, 1), (9, 17, 8), (100, 9, 3), (2, 33, 9), (4, 17, 100),
          (1, 300, 17), (17, 9, 33), (33, 40, 17), (128, 20, 65), (130, 17, 40),
          (150, 300, 240), (145, 260, 257)]
# Which operand holds NaNs, and which kinds: a signalling NaN in a and a quiet
# one in b at the same k is where processors part.
PRODUCT_NANS = {
    "a quiet": ([Q1, Q2], None),
    "a signalling": ([S1, S2], None),
    "b quiet": (None, [Q1, Q3]),
    "b signalling": (None, [S1, S3]),
    "a signalling, b quiet": ([S1, S2, S3], [Q1, Q3]),
    "a quiet, b signalling": ([Q1, Q2], [S3, S1]),
    "both mixed": ([Q2, S1, Q3, S2], [S3, Q1, S1, Q2]),
}


@pytest.mark.parametrize("nans", PRODUCT_NANS)
@pytest.mark.parametrize("m, k, n", SHAPES)
def test_product(m, k, n, nans):
    a_nans, b_nans = PRODUCT_NANS[nans]
    # Sparse NaNs in a, so that many elements stay finite and some products
    # meet NaNs in both operands at one k.
    a = mixed(m * k, 3, a_nans) if a_nans else mixed(m * k, 3, [0x3FA00000])
    b = mixed(k * n, 4, b_nans) if b_nans else mixed(k * n, 4, [0xBF400000])
    got = result_words(matrix(a, m, k).matmul(matrix(b, k, n)))
    want = product_model(a, b, m, k, n)
    bad = [i for i, (g, w) in enumerate(zip(got, want)) if g != w]
    assert not bad, (f"{len(bad)} of {len(want)} differ, first at {divmod(bad[0], n)}: "
                     f"{got[bad[0]]:08x} for {want[bad[0]]:08x}")


# --- fit and predict.

def fit_model(x, y, rows, cols, lr, iters, workers):
    w, bias, nf = [0] * cols, 0, word(rows)

    def leaf(lo, hi):
        g = [0] * (cols + 1)
        for i in range(lo, hi):
            p = bias
            for j in range(cols):
                p = add(p, mul(w[j], x[i * cols + j]))
            e = sub(p, y[i])
            for j in range(cols):
                g[j] = add(g[j], mul(e, x[i * cols + j]))
            g[cols] = add(g[cols], e)
        return [add(0, v) for v in g]

    def combine(left, right):
        return [add(p, q) for p, q in zip(left, right)]

    for _ in range(iters):
        g = reduce_tree(fixed_tree(rows, workers), leaf, combine)
        w = [sub(w[j], mul(div(g[j], nf), lr)) for j in range(cols)]
        bias = sub(bias, mul(div(g[cols], nf), lr))
    return w, bias


def predict_model(w, bias, x, rows, cols):
    out = []
    for r in range(rows):
        p = bias
        for j in range(cols):
            p = add(p, mul(w[j], x[r * cols + j]))
        out.append(p)
    return out


FIT_SHAPES = [(1, 1), (7, 3), (9, 8), (17, 9), (100, 17), (300, 4)]
# NaNs in x or y at a few places, so the tree decides which payload reaches
# each sum; or everywhere quiet in x and signalling in y, where a quiet
# prediction meets a signalling target.
FIT_DATA = {
    "x quiet": ([Q1, Q2], None),
    "x signalling": ([S1, S3], None),
    "y quiet": (None, [Q2, Q3]),
    "y signalling": (None, [S2, S1]),
    "x quiet, y signalling": ([Q1, Q3], [S1, S2]),
    "x signalling, y quiet": ([S2, S3], [Q1, Q2]),
}


def fit_case(rows, cols, data):
    x_nans, y_nans = FIT_DATA[data]
    x = mixed(rows * cols, rows + cols, x_nans or [word(0.5)])
    y = mixed(rows, 2 * rows + 1, y_nans or [word(-2.0)])
    return x, y


RATES = {"0.125": 0x3E000000, "quiet NaN": Q3}


@pytest.fixture(scope="module")
def fits_by_workers():
    """Every fit case trained in a child per worker count: words of (weights, bias)."""
    cases = [(rows, cols, data, lr) for rows, cols in FIT_SHAPES for data in FIT_DATA
             for lr in RATES]
    inputs = [(hexes(fit_case(r, c, d)[0]), hexes(fit_case(r, c, d)[1]), r, c, RATES[lr])
              for r, c, d, lr in cases]
    code = f"""
import array, json, struct, sys
from kestrix import KestrixMatrix, KestrixSolver
def words(hexes):
    return array.array("f", array.array("I", [int(h, 16) for h in hexes]).tobytes())
out = []
for x, y, rows, cols, lr in {inputs!r}:
    s = KestrixSolver(struct.unpack("f", struct.pack("I", lr))[0], 2)
    s.fit(KestrixMatrix(words(x), rows, cols), words(y))
    st = s.__getstate__()
    out.append([list(array.array("I", st["weights"].tobytes())),
                array.array("I", array.array("f", [st["bias"]]).tobytes())[0]])
json.dump(out, sys.stdout)
"""
    results = {}
    for workers in (1, 2, 3):
        got = json.loads(run_child(code, env={"RAYON_NUM_THREADS": str(workers)}).stdout)
        for case, result in zip(cases, got):
            results[case + (workers,)] = result
    return results


@pytest.mark.parametrize("workers", [1, 2, 3])
@pytest.mark.parametrize("lr", RATES)
@pytest.mark.parametrize("data", FIT_DATA)
@pytest.mark.parametrize("rows, cols", FIT_SHAPES)
def test_fit(fits_by_workers, rows, cols, data, lr, workers):
    x, y = fit_case(rows, cols, data)
    w, bias = fit_model(x, y, rows, cols, RATES[lr], 2, workers)
    got_w, got_bias = fits_by_workers[(rows, cols, data, lr, workers)]
    assert hexes(got_w + [got_bias]) == hexes(w + [bias])


# Weights come from a state, so they may be signalling too; x holds the
# other kind at every place, so each product meets two NaNs somewhere.
PREDICT_DATA = {
    "weights quiet, x signalling": ([Q1, Q2], [S1, S3]),
    "weights signalling, x quiet": ([S2, S3], [Q1, Q2]),
    "weights quiet, x quiet": ([Q3], [Q1, Q2]),
    "weights finite, x signalling": (None, [S1, S2]),
}


@pytest.mark.parametrize("data", PREDICT_DATA)
@pytest.mark.parametrize("rows, cols", [(1, 1), (3, 3), (7, 8), (9, 9), (17, 16), (100, 17)])
def test_predict(rows, cols, data):
    w_nans, x_nans = PREDICT_DATA[data]
    w = mixed(cols, cols, w_nans or [word(3.0)]) if cols > 1 else [(w_nans or [word(3.0)])[0]]
    x = mixed(rows * cols, rows, x_nans)
    s = KestrixSolver(0.5, 1)
    s.__setstate__({"version": 1, "lr": 0.5, "iters": 1, "weights": floats(w), "bias": -0.25})
    got = [word(v) for v in s.predict(matrix(x, rows, cols))]
    assert hexes(got) == hexes(predict_model(w, word(-0.25), x, rows, cols))


# --- input: every route keeps a NaN's sign and payload and sets its quiet bit.

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
    assert hexes(got) == hexes([w | QUIET if is_nan(w) else w for w in given])
