"""KestrixSolver: training and prediction against a float32 model of the definitions."""
import math
import random

import pytest

from conftest import bits, f32
from kestrix import KestrixMatrix, KestrixSolver


def panic_args(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args


def one_worker_tree(n):
    """The split tree of a loop over n items on a pool of one worker: leaves are (lo, hi)."""
    def piece(lo, hi, budget, taken_over):
        if (hi - lo) // 2 < 1:
            return (lo, hi)
        if taken_over:
            budget = max(budget // 2, 1)
        elif budget == 0:
            return (lo, hi)
        else:
            budget //= 2
        mid = lo + (hi - lo) // 2
        return (piece(lo, mid, budget, False), piece(mid, hi, budget, False))
    if n // 2 < 1:
        return (0, n)
    # The caller splits once (budget 1 -> 0); both halves run taken over.
    return (piece(0, n // 2, 0, True), piece(n // 2, n, 0, True))


def reference_fit(x, y, rows, cols, lr, iters):
    """One-worker training, every operation rounded to float32."""
    lr = f32(lr)
    w, b = [0.0] * cols, 0.0
    nf = f32(rows)

    def leaf(lo, hi):
        gw, gb = [0.0] * cols, 0.0
        for i in range(lo, hi):
            p = b
            for j in range(cols):
                p = f32(p + f32(w[j] * x[i * cols + j]))
            e = f32(p - y[i])
            for j in range(cols):
                gw[j] = f32(gw[j] + f32(e * x[i * cols + j]))
            gb = f32(gb + e)
        return [f32(0.0 + g) for g in gw], f32(0.0 + gb)

    def reduce(tree):
        if isinstance(tree[0], int):
            return leaf(*tree)
        (lw, lb), (rw, rb) = reduce(tree[0]), reduce(tree[1])
        return [f32(p + q) for p, q in zip(lw, rw)], f32(lb + rb)

    for _ in range(iters):
        gw, gb = reduce(one_worker_tree(rows))
        w = [f32(w[j] - f32(f32(gw[j] / nf) * lr)) for j in range(cols)]
        b = f32(b - f32(f32(gb / nf) * lr))
    return w, b


def reference_predict(w, b, x, cols):
    out = []
    for r in range(len(x) // cols):
        p = b
        for j in range(cols):
            p = f32(p + f32(w[j] * x[r * cols + j]))
        out.append(p)
    return out


def test_worked_example():
    s = KestrixSolver(0.1, 1)
    assert s.fit(KestrixMatrix([1.0, 2.0], 2, 1), [2.0, 4.0]) is None
    assert s.predict(KestrixMatrix([1.0], 1, 1)) == [0.800000011920929]
    assert s.predict(KestrixMatrix([0.0], 1, 1)) == [0.30000001192092896]


def test_zero_steps_resets_even_with_short_targets():
    s = KestrixSolver(0.1, 0)
    s.fit(KestrixMatrix([1.0] * 6, 2, 3), [])
    assert s.predict(KestrixMatrix([5.0, 6.0, 7.0], 1, 3)) == [0.0]


def test_zero_rows_makes_everything_nan():
    s = KestrixSolver(0.1, 2)
    s.fit(KestrixMatrix([], 0, 2), [])
    assert math.isnan(s.predict(KestrixMatrix([0.0, 0.0], 1, 2))[0])


def test_zero_columns_trains_only_the_bias():
    s = KestrixSolver(0.5, 2)
    assert s.fit(KestrixMatrix([], 3, 0), [1.0, 2.0, 3.0]) is None
    # Without weights the model can only be seen through predict's refusals.
    assert panic_args(lambda: s.predict(KestrixMatrix([], 1, 0))) == ("chunk_size must not be zero",)
    assert panic_args(lambda: s.predict(KestrixMatrix([1.0], 1, 1))) == (
        "index out of bounds: the len is 0 but the index is 0",)


def test_refit_starts_again_from_zeros():
    x = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    s = KestrixSolver(0.05, 4)
    s.fit(x, [1.0, 2.0])
    first = s.predict(x)
    s.fit(KestrixMatrix([1.0], 1, 1), [9.0])
    s.fit(x, [1.0, 2.0])
    assert s.predict(x) == first


def test_learning_rate_is_stored_as_float32():
    s = KestrixSolver(1e39, 1)
    s.fit(KestrixMatrix([1.0], 1, 1), [1.0])
    # Error -1 times an infinite rate: weight and bias become +inf.
    assert s.predict(KestrixMatrix([1.0], 1, 1)) == [math.inf]


def test_short_targets_fail_after_the_reset():
    s = KestrixSolver(0.1, 3)
    s.fit(KestrixMatrix([1.0, 2.0], 1, 2), [5.0])
    args = panic_args(lambda: s.fit(KestrixMatrix([1.0, 2.0, 3.0], 3, 1), [1.0]))
    # The failing piece nearest the start of the range reaches index 1 first.
    assert args == ("index out of bounds: the len is 1 but the index is 1",)
    assert s.predict(KestrixMatrix([7.0], 1, 1)) == [0.0]


@pytest.mark.parametrize("rows, cols, iters", [(1, 1, 3), (2, 3, 2), (3, 1, 4), (8, 2, 2),
                                               (9, 4, 3), (37, 5, 3), (100, 7, 2)])
def test_fit_matches_one_worker_reference(run_child, rows, cols, iters):
    rng = random.Random(rows * 31 + cols)
    x = [f32(rng.uniform(-2, 2)) for _ in range(rows * cols)]
    y = [f32(rng.uniform(-5, 5)) for _ in range(rows)]
    code = f"""
from kestrix import KestrixMatrix, KestrixSolver
s = KestrixSolver(0.05, {iters})
s.fit(KestrixMatrix({x!r}, {rows}, {cols}), {y!r})
print(repr(s.predict(KestrixMatrix({x!r}, {rows}, {cols}))))
"""
    got = eval(run_child(code, env={"RAYON_NUM_THREADS": "1"}).stdout)
    w, b = reference_fit(x, y, rows, cols, 0.05, iters)
    assert [bits(v) for v in got] == [bits(v) for v in reference_predict(w, b, x, cols)]


def test_predict_edge_cases():
    untrained = KestrixSolver(0.1, 1)
    assert untrained.predict(KestrixMatrix([], 0, 3)) == []
    assert panic_args(lambda: untrained.predict(KestrixMatrix([], 0, 0))) == ("chunk_size must not be zero",)
    assert panic_args(lambda: untrained.predict(KestrixMatrix([1.0], 1, 1))) == (
        "index out of bounds: the len is 0 but the index is 0",)
    s = KestrixSolver(0.1, 1)
    s.fit(KestrixMatrix([1.0, 2.0], 1, 2), [3.0])
    assert panic_args(lambda: s.predict(KestrixMatrix([1.0] * 3, 1, 3))) == (
        "index out of bounds: the len is 2 but the index is 2",)


def test_predict_with_fewer_columns_uses_the_first_weights():
    s = KestrixSolver(0.1, 2)
    s.fit(KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3), [1.0, 2.0])
    rows = [[2.0, 3.0], [-1.5, 0.25], [7.0, -2.0]]
    narrow = s.predict(KestrixMatrix([v for r in rows for v in r], 3, 2))
    # A zero third column adds only zero products, which leave a nonzero sum alone.
    padded = s.predict(KestrixMatrix([v for r in rows for v in r + [0.0]], 3, 3))
    assert narrow == padded and all(v != 0.0 for v in narrow)


@pytest.mark.parametrize("rows, cols", [(1, 1), (3, 2), (17, 5), (1001, 8), (64, 33)])
def test_predict_matches_reference_for_every_pool_size(run_child, rows, cols):
    rng = random.Random(rows + cols)
    x = [f32(rng.uniform(-3, 3)) for _ in range(rows * cols)]
    x1 = [f32(rng.uniform(-1, 1)) for _ in range(cols)]
    code = f"""
from kestrix import KestrixMatrix, KestrixSolver
s = KestrixSolver(0.3, 3)
s.fit(KestrixMatrix({x1!r}, 1, {cols}), [1.5])   # one sample: one piece on any pool
print(repr(s.predict(KestrixMatrix({x!r}, {rows}, {cols}))))
"""
    outputs = {run_child(code, env={"RAYON_NUM_THREADS": w}).stdout for w in ("1", "2", "3", "8")}
    assert len(outputs) == 1
    w, b = reference_fit(x1, [1.5], 1, cols, 0.3, 3)
    got = eval(outputs.pop())
    assert [bits(v) for v in got] == [bits(v) for v in reference_predict(w, b, x, cols)]
