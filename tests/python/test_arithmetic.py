"""add, mul, transpose and matmul: worked examples, and the same bits on every
pool a process can be given. Bits against the float32 oracle at sizes around
the split points and tile widths are matrix_test's, on every variant."""
import math
import struct

import pytest

from conftest import seen
from kestrix import KestrixMatrix
from reference import bits

INF, NAN = math.inf, math.nan


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
