"""run_heavy_logic against the C library's own float functions."""
import ctypes
import ctypes.util
import math
import random

import pytest

from conftest import bits, f32
from kestrix import run_heavy_logic
from test_solver import one_worker_tree

libm = ctypes.CDLL(ctypes.util.find_library("m"))
for name in ("sinf", "cosf", "tanf"):
    getattr(libm, name).restype = ctypes.c_float
    getattr(libm, name).argtypes = [ctypes.c_float]


def term(x, iterations):
    for _ in range(iterations):
        x = abs(libm.tanf(libm.cosf(libm.sinf(x))))
    return x


def reference_sum(data, iterations):
    def reduce(tree):
        if isinstance(tree[0], int):
            s = -0.0
            for i in range(*tree):
                s = f32(s + term(data[i], iterations))
            return s
        return f32(reduce(tree[0]) + reduce(tree[1]))
    return reduce(one_worker_tree(len(data)))


@pytest.mark.parametrize("iterations", [0, 1, 7])
def test_empty_data_gives_negative_zero(iterations):
    r = run_heavy_logic([], iterations)
    assert r == 0.0 and math.copysign(1.0, r) == -1.0


@pytest.mark.parametrize("data, iterations, expected", [
    ([1.5, 2.25], 0, 3.75),
    ([-0.0], 0, -0.0),
    ([0.0], 1, f32(math.tan(1.0))),
    ([0.0], 2, term(0.0, 2)),
])
def test_examples(data, iterations, expected):
    r = run_heavy_logic(data, iterations)
    assert bits(r) == bits(expected)


def test_iterated_terms_are_never_negative_zero():
    assert math.copysign(1.0, run_heavy_logic([-0.0, -0.0], 1)) == 1.0


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
def test_non_finite_elements_give_nan(bad):
    assert math.isnan(run_heavy_logic([1.0, bad, 2.0], 1))


def test_input_is_left_alone():
    data = [0.5, -1.25, 3.0]
    run_heavy_logic(data, 2)
    assert data == [0.5, -1.25, 3.0]


@pytest.mark.parametrize("iterations", [-1, 1.5, "3"])
def test_bad_iteration_counts(iterations):
    with pytest.raises((OverflowError, TypeError)) as info:
        run_heavy_logic([1.0], iterations)
    if isinstance(info.value, TypeError):
        assert str(info.value).startswith("argument 'iterations': ")


@pytest.mark.parametrize("n, iterations", [(2, 1), (3, 2), (8, 1), (9, 3), (100, 2), (1001, 1)])
def test_sum_matches_one_worker_reference(run_child, n, iterations):
    rng = random.Random(n)
    data = [f32(rng.uniform(-10, 10)) for _ in range(n)]
    code = f"import kestrix; print(repr(kestrix.run_heavy_logic({data!r}, {iterations})))"
    got = float(run_child(code, env={"RAYON_NUM_THREADS": "1"}).stdout)
    assert bits(got) == bits(reference_sum(data, iterations))
