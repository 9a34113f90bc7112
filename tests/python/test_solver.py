"""KestrixSolver: worked examples, the model after each kind of call, and bits
against the float32 reference of training and prediction."""
import math
import random

import pytest

from conftest import WORKER_COUNTS, panic_of, same_in_every_call, tree_points
from kestrix import KestrixMatrix, KestrixSolver
from reference import bits, f32, fit, predict


def probe(s, *row):
    return s.predict(KestrixMatrix(list(row), 1, len(row)))


def test_worked_example_and_edge_cases():
    s = KestrixSolver(0.1, 1)
    assert s.fit(KestrixMatrix([1.0, 2.0], 2, 1), [2.0, 4.0]) is None
    assert probe(s, 1.0) == [0.800000011920929] and probe(s, 0.0) == [0.30000001192092896]
    s = KestrixSolver(0.1, 0)          # no step: zeros, even with a short y
    s.fit(KestrixMatrix([1.0] * 6, 2, 3), [])
    assert probe(s, 5.0, 6.0, 7.0) == [0.0]
    s = KestrixSolver(0.1, 2)          # no rows: 0 / 0 everywhere
    s.fit(KestrixMatrix([], 0, 2), [])
    assert math.isnan(probe(s, 0.0, 0.0)[0])
    s = KestrixSolver(1e39, 1)         # the rate is stored as float32 inf
    s.fit(KestrixMatrix([1.0], 1, 1), [1.0])
    assert probe(s, 1.0) == [math.inf]


def test_zero_columns_train_only_the_bias():
    s = KestrixSolver(0.5, 2)
    assert s.fit(KestrixMatrix([], 3, 0), [1.0, 2.0, 3.0]) is None
    # Without weights the model is seen through predict's refusals only.
    assert panic_of(lambda: s.predict(KestrixMatrix([1.0], 1, 1))).args == (
        "index out of bounds: the len is 0 but the index is 0",)


def test_refit_starts_again_from_zeros_and_a_failed_fit_leaves_the_reset():
    x = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    s = KestrixSolver(0.05, 4)
    s.fit(x, [1.0, 2.0])
    first = s.predict(x)
    s.fit(KestrixMatrix([1.0], 1, 1), [9.0])
    s.fit(x, [1.0, 2.0])
    assert s.predict(x) == first
    # The failing piece nearest the start of the range reaches index 1 first.
    assert panic_of(lambda: s.fit(KestrixMatrix([1.0, 2.0, 3.0], 3, 1), [1.0])).args == (
        "index out of bounds: the len is 1 but the index is 1",)
    assert probe(s, 7.0) == [0.0]


def test_predict_with_fewer_columns_uses_the_first_weights():
    s = KestrixSolver(0.1, 2)
    s.fit(KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3), [1.0, 2.0])
    rows = [[2.0, 3.0], [-1.5, 0.25], [7.0, -2.0]]
    narrow = s.predict(KestrixMatrix([v for r in rows for v in r], 3, 2))
    # A zero third column adds only zero products, which leave a nonzero sum alone.
    padded = s.predict(KestrixMatrix([v for r in rows for v in r + [0.0]], 3, 3))
    assert narrow == padded and all(v != 0.0 for v in narrow)


def sample(rng, rows, cols, scale):
    return [f32(rng.uniform(-scale, scale)) for _ in range(rows * cols)]


@pytest.mark.parametrize("workers", WORKER_COUNTS)
def test_fit_gives_the_reference_bits_in_every_call_and_process(run_child, workers):
    # Sizes around the split points of the pool's tree, and long enough to
    # be handed to the workers; each fit three times in each of three children.
    shapes = [(1, 1, 3), (2, 3, 2), (3, 1, 4), (9, 4, 3), (37, 5, 3), (100, 7, 2), (12007, 4, 2)]
    shapes += [(rows, 2, 2) for rows in tree_points(workers)]
    cases = []
    for rows, cols, iters in shapes:
        rng = random.Random(rows * 31 + cols)
        cases.append((sample(rng, rows, cols, 2), sample(rng, rows, 1, 5), rows, cols, iters))
    code = f"""
from kestrix import KestrixMatrix, KestrixSolver
for x, y, rows, cols, iters in {cases!r}:
    for _ in range(3):
        s = KestrixSolver(0.05, iters)
        s.fit(KestrixMatrix(x, rows, cols), y)
        print(repr(s.predict(KestrixMatrix(x + [0.0] * cols, rows + 1, cols))))
"""
    got = [eval(line) for line in same_in_every_call(run_child, code, workers)]
    want = []
    for x, y, rows, cols, iters in cases:
        w, b = fit(x, y, rows, cols, 0.05, iters, workers)
        want += [predict(w, b, x + [0.0] * cols, rows + 1, cols)] * 3
    assert [[bits(v) for v in p] for p in got] == [[bits(v) for v in p] for p in want]
