"""run_heavy_logic against the C library's own float functions."""
import math
import random

import pytest

from conftest import WORKER_COUNTS, same_in_every_call, tree_points
from kestrix import run_heavy_logic
from reference import bits, f32, stress


@pytest.mark.parametrize("data, iterations, expected", [
    ([], 0, -0.0), ([], 7, -0.0),
    ([1.5, 2.25], 0, 3.75),
    ([-0.0], 0, -0.0),
    ([3e38, 3e38], 0, math.inf),
    ([-0.0, -0.0], 1, stress([-0.0, -0.0], 1)),     # iterated terms are never -0.0
    ([0.0], 1, f32(math.tan(1.0))),
    ([0.0], 2, stress([0.0], 2)),
])
def test_examples(data, iterations, expected):
    assert bits(run_heavy_logic(data, iterations)) == bits(expected)


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
def test_non_finite_elements_give_nan_and_the_input_is_left_alone(bad):
    data = [1.0, bad, 2.0]
    assert math.isnan(run_heavy_logic(data, 1))
    assert len(data) == 3 and data[0] == 1.0 and data[1] is bad and data[2] == 2.0


@pytest.mark.parametrize("workers", WORKER_COUNTS)
def test_sum_gives_the_reference_bits_in_every_call_and_process(run_child, workers):
    # Lengths around the split points of the pool's tree, and long enough to
    # be handed to the workers; each sum three times in each of three children.
    rng = random.Random(3)
    sizes = [(2, 1), (3, 2), (9, 3), (100, 2), (1001, 1), (4099, 3)]
    sizes += [(n, 1) for n in tree_points(workers)]
    cases = [([f32(rng.uniform(-10, 10)) for _ in range(n)], it) for n, it in sizes]
    code = f"""import kestrix
for d, it in {cases!r}:
    for _ in range(3):
        print(repr(kestrix.run_heavy_logic(d, it)))
"""
    got = [float(v) for v in same_in_every_call(run_child, code, workers)]
    assert [bits(v) for v in got] == [bits(stress(d, it, workers)) for d, it in cases
                                      for _ in range(3)]
