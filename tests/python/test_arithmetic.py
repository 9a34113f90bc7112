"""add, mul, transpose and matmul: worked examples, and bits against the float32
reference at sizes around the split points and the kernels' tile widths."""
import math
import random
import struct

import pytest

from conftest import seen
from kestrix import KestrixMatrix
from reference import bits, f32, matmul

INF, NAN = math.inf, math.nan


def random_f32(n, rng):
    return [f32(rng.uniform(-4.0, 4.0)) for _ in range(n)]


@pytest.mark.parametrize("op, data, val, expected", [
    ("add", [1.0], 0.1, [1.100000023841858]),
    ("mul", [3.0], 0.1, [0.30000001192092896]),
    ("add", [1.0, -INF, INF], 1e39, [INF, NAN, INF]),
    ("add", [-INF], INF, [NAN]),
    ("mul", [INF, -INF, 2.0], 0.0, [NAN, NAN, 0.0]),
    ("mul", [0.0, -0.0, 1.0], -1.0, [-0.0, 0.0, -1.0]),
    ("add", [-0.0, 0.0], -0.0, [-0.0, 0.0]),
    ("mul", [3e38], 10, [INF]),
])
def test_scalar_examples(op, data, val, expected):
    assert seen(getattr(KestrixMatrix(data, 1, len(data)), op)(val).to_list()) == seen(expected)


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7, 17, 1000, 65537])
def test_scalar_ops_match_float32(n):
    rng = random.Random(n)
    data, v = random_f32(n, rng), f32(rng.uniform(-3, 3))
    m = KestrixMatrix(data, 1, n)
    assert m.add(val=v).to_list() == [f32(x + v) for x in data]
    assert m.mul(v).to_list() == [f32(x * v) for x in data]
    assert m.to_list() == data


@pytest.mark.parametrize("rows, cols", [(1, 1), (1, 5), (5, 1), (2, 3), (17, 33), (64, 64), (130, 257)])
def test_transpose_moves_every_bit_pattern(rows, cols):
    # NaN payloads, signed zeros, subnormals and infinities must arrive untouched.
    special = [0x80000000, 0x7FC12345, 0xFFC00001, 0x7F800000, 0x00000001]
    data = [struct.unpack("f", struct.pack("I", special[i] if i < 5 else 0x3F800000 + i))[0]
            for i in range(rows * cols)]
    t = KestrixMatrix(data, rows, cols).transpose()
    assert t.shape() == (cols, rows)
    assert [bits(x) for x in t.to_list()] == [bits(data[i * cols + j]) for j in range(cols)
                                             for i in range(rows)]


def test_matmul_examples():
    a = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    assert a.matmul(KestrixMatrix([5.0, 6.0, 7.0, 8.0], 2, 2)).to_list() == [19.0, 22.0, 43.0, 50.0]
    lost = KestrixMatrix([1e8, 1.0, -1e8], 1, 3).matmul(other=KestrixMatrix([1.0] * 3, 3, 1))
    assert lost.to_list() == [0.0]
    r = KestrixMatrix([], 2, 0).matmul(KestrixMatrix([], 0, 3))
    assert r.shape() == (2, 3) and [bits(x) for x in r.to_list()] == [0] * 6


def test_inner_dimension_zero_gives_zeros_in_a_reused_buffer():
    # A freed 4 MiB buffer is kept for the next result of its size; the empty
    # inner dimension must still write every +0.0 rather than rely on fresh pages.
    n = 1024
    dirty = KestrixMatrix([7.0] * (n * n), n, n).add(1.0)
    del dirty
    r = KestrixMatrix([], n, 0).matmul(KestrixMatrix([], 0, n))
    assert set(bits(x) for x in r.to_list()) == {0}


SIZES = [(1, 1, 1), (1, 7, 1), (3, 5, 2), (2, 1, 9), (17, 33, 9), (7, 0, 5), (0, 4, 3),
         (13, 31, 47), (65, 17, 33), (6, 64, 32), (31, 97, 129), (100, 3, 250)]


@pytest.mark.parametrize("rows, inner, cols", SIZES)
def test_matmul_matches_float32_reference(rows, inner, cols):
    rng = random.Random(rows * 1000 + inner * 10 + cols)
    a, b = random_f32(rows * inner, rng), random_f32(inner * cols, rng)
    got = KestrixMatrix(a, rows, inner).matmul(KestrixMatrix(b, inner, cols)).to_list()
    assert [bits(x) for x in got] == [bits(x) for x in matmul(a, b, rows, inner, cols)]


def test_matmul_cancellation_needs_the_exact_order():
    # Large terms of both signs: any other summation order changes the bits.
    rng = random.Random(5)
    rows, inner, cols = 9, 300, 11
    a = [f32(rng.choice([1e6, -1e6, 1.0, 3e-3]) * rng.random()) for _ in range(rows * inner)]
    b = [f32(rng.choice([1e6, -1e6, 1.0, 7e-4]) * rng.random()) for _ in range(inner * cols)]
    got = KestrixMatrix(a, rows, inner).matmul(KestrixMatrix(b, inner, cols)).to_list()
    assert [bits(x) for x in got] == [bits(x) for x in matmul(a, b, rows, inner, cols)]


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
