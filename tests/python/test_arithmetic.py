"""add, mul, transpose and matmul against float32 references of their definitions."""
import math
import random
import struct

import numpy as np
import pytest

from conftest import bits, f32
from kestrix import KestrixMatrix

INF, NAN = math.inf, math.nan


def panic_args(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args


def random_f32(n, rng):
    return [f32(rng.uniform(-4.0, 4.0)) for _ in range(n)]


def reference_matmul(a, b, rows, inner, cols):
    """R += A[:, k] * B[k, :] for k ascending, every operation in float32."""
    A = np.array(a, dtype=np.float32).reshape(rows, inner)
    B = np.array(b, dtype=np.float32).reshape(inner, cols)
    R = np.zeros((rows, cols), dtype=np.float32)
    for k in range(inner):
        R = A[:, k:k + 1] * B[k:k + 1, :] + R
    return R.reshape(-1).tolist()


def same_bits(xs, ys):
    return [bits(x) for x in xs] == [bits(y) for y in ys]


# ---- add, mul ---------------------------------------------------------------

@pytest.mark.parametrize("op, data, val, expected", [
    ("add", [1.0], 0.1, [1.100000023841858]),
    ("mul", [3.0], 0.1, [0.30000001192092896]),
    ("add", [1.0, -INF, INF], 1e39, [INF, NAN, INF]),
    ("add", [-INF], INF, [NAN]),
    ("mul", [INF, -INF, 2.0], 0.0, [NAN, NAN, 0.0]),
    ("mul", [0.0, -0.0, 1.0], -1.0, [-0.0, 0.0, -1.0]),
    ("add", [-0.0], 0.0, [0.0]),
    ("add", [-0.0], -0.0, [-0.0]),
    ("mul", [3e38], 10, [INF]),
])
def test_scalar_examples(op, data, val, expected):
    m = KestrixMatrix(data, 1, len(data))
    got = getattr(m, op)(val).to_list()
    # NaN's sign is the processor's choice; every other value must match with its sign.
    key = lambda v: "nan" if math.isnan(v) else (v, math.copysign(1, v))
    assert [key(g) for g in got] == [key(e) for e in expected]


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7, 17, 1000, 65537])
@pytest.mark.parametrize("op", ["add", "mul"])
def test_scalar_ops_match_float32(op, n):
    rng = random.Random(n)
    data = random_f32(n, rng)
    v = f32(rng.uniform(-3, 3))
    m = KestrixMatrix(data, 1, n)
    expected = [f32(x + v) if op == "add" else f32(x * v) for x in data]
    result = getattr(m, op)(val=v)
    assert result.to_list() == expected
    assert result.shape() == (1, n) and m.to_list() == data and result is not m


@pytest.mark.parametrize("shape", [(0, 3), (2, 0), (0, 0)])
def test_scalar_ops_on_empty_matrices_keep_the_shape(shape):
    m = KestrixMatrix([], *shape)
    assert m.add(1.0).shape() == shape and m.mul(2.0).to_list() == []


# ---- transpose --------------------------------------------------------------

def test_transpose_example():
    t = KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3).transpose()
    assert t.shape() == (3, 2) and t.to_list() == [1.0, 4.0, 2.0, 5.0, 3.0, 6.0]


@pytest.mark.parametrize("rows, cols", [(1, 1), (1, 5), (5, 1), (3, 7), (17, 33), (64, 64), (130, 257)])
def test_transpose_moves_every_element(rows, cols):
    data = [float(i) for i in range(rows * cols)]
    t = KestrixMatrix(data, rows, cols).transpose()
    assert t.shape() == (cols, rows)
    assert t.to_list() == [data[i * cols + j] for j in range(cols) for i in range(rows)]
    assert t.transpose().to_list() == data


def test_transpose_keeps_bit_patterns():
    patterns = [0x80000000, 0x7FC12345, 0xFFC00001, 0x7F800000, 0x00000001, 0x3F800000]
    data = [struct.unpack("f", struct.pack("I", p))[0] for p in patterns]
    got = KestrixMatrix(data, 2, 3).transpose().to_list()
    assert [bits(x) for x in got] == [patterns[i] for i in (0, 3, 1, 4, 2, 5)]


def test_transpose_without_columns_then_without_rows():
    t = KestrixMatrix([], 4, 0).transpose()
    assert t.shape() == (0, 4)
    assert panic_args(t.transpose) == ("chunk_size must not be zero",)


@pytest.mark.parametrize("shape", [(0, 0), (0, 3)])
def test_transpose_without_rows_fails_and_the_receiver_survives(shape):
    m = KestrixMatrix([], *shape)
    assert panic_args(m.transpose) == ("chunk_size must not be zero",)
    assert m.shape() == shape


# ---- matmul -----------------------------------------------------------------

def test_matmul_examples():
    a = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    r = a.matmul(KestrixMatrix([5.0, 6.0, 7.0, 8.0], 2, 2))
    assert r.shape() == (2, 2) and r.to_list() == [19.0, 22.0, 43.0, 50.0]
    assert a.matmul(a).to_list() == [7.0, 10.0, 15.0, 22.0]
    lost = KestrixMatrix([1e8, 1.0, -1e8], 1, 3).matmul(KestrixMatrix([1.0] * 3, 3, 1))
    assert lost.to_list() == [0.0]
    assert KestrixMatrix([1.0] * 6, 2, 3).matmul(other=KestrixMatrix([1.0] * 6, 3, 2)).shape() == (2, 2)


def test_matmul_inner_dimension_zero_gives_positive_zeros():
    r = KestrixMatrix([], 2, 0).matmul(KestrixMatrix([], 0, 3))
    assert r.shape() == (2, 3) and [bits(x) for x in r.to_list()] == [0] * 6
    assert KestrixMatrix([], 0, 2).matmul(KestrixMatrix([1.0] * 6, 2, 3)).shape() == (0, 3)


def test_matmul_failure_order_and_operands_survive():
    a, b = KestrixMatrix([1.0] * 6, 2, 3), KestrixMatrix([1.0] * 6, 2, 3)
    with pytest.raises(ValueError, match="^Shape mismatch for matmul$"):
        a.matmul(b)
    with pytest.raises(ValueError):
        KestrixMatrix([1.0, 2.0], 2, 1).matmul(KestrixMatrix([], 2, 0))
    c, d = KestrixMatrix([1.0, 2.0], 2, 1), KestrixMatrix([], 1, 0)
    assert panic_args(lambda: c.matmul(d)) == ("chunk_size must not be zero",)
    assert a.shape() == (2, 3) and c.to_list() == [1.0, 2.0] and d.shape() == (1, 0)


@pytest.mark.parametrize("m, k, n", [(2**31, 0, 2**31), (2**32, 0, 2**32), (2**62, 0, 1)])
def test_matmul_capacity_overflow(m, k, n):
    a, b = KestrixMatrix([], m, k), KestrixMatrix([], k, n)
    assert panic_args(lambda: a.matmul(b)) == ("capacity overflow",)


SIZES = [(1, 1, 1), (1, 7, 1), (3, 5, 2), (2, 1, 9), (17, 33, 9), (7, 0, 5), (0, 4, 3),
         (13, 31, 47), (65, 17, 33), (6, 64, 32), (31, 97, 129), (100, 3, 250)]


@pytest.mark.parametrize("rows, inner, cols", SIZES)
def test_matmul_matches_float32_reference(rows, inner, cols):
    rng = random.Random(rows * 1000 + inner * 10 + cols)
    a, b = random_f32(rows * inner, rng), random_f32(inner * cols, rng)
    got = KestrixMatrix(a, rows, inner).matmul(KestrixMatrix(b, inner, cols)).to_list()
    assert same_bits(got, reference_matmul(a, b, rows, inner, cols))


def test_matmul_cancellation_needs_the_exact_order():
    # Large terms of both signs: any other summation order changes the bits.
    rng = random.Random(5)
    rows, inner, cols = 9, 300, 11
    a = [f32(rng.choice([1e6, -1e6, 1.0, 3e-3]) * rng.random()) for _ in range(rows * inner)]
    b = [f32(rng.choice([1e6, -1e6, 1.0, 7e-4]) * rng.random()) for _ in range(inner * cols)]
    got = KestrixMatrix(a, rows, inner).matmul(KestrixMatrix(b, inner, cols)).to_list()
    assert same_bits(got, reference_matmul(a, b, rows, inner, cols))


def test_results_do_not_depend_on_the_worker_count(run_child):
    code = """
import random, hashlib, struct
from kestrix import KestrixMatrix
rng = random.Random(11)
def m(r, c): return KestrixMatrix([rng.uniform(-2, 2) for _ in range(r * c)], r, c)
a, b = m(67, 129), m(129, 45)
out = a.matmul(b).to_list() + a.add(0.3).to_list() + a.mul(1.7).to_list() + a.transpose().to_list()
print(hashlib.sha256(struct.pack(f"{len(out)}d", *out)).hexdigest())
"""
    digests = {run_child(code, env={"RAYON_NUM_THREADS": w}).stdout for w in ("1", "2", "3", "8")}
    assert len(digests) == 1
