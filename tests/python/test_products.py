"""Products, transposes and predictions of empty shapes give empty results
and fail only where the result cannot exist; large products stay within
their memory."""
import random

import pytest

from conftest import EMULATOR, outcome
from kestrix import KestrixMatrix, KestrixSolver
from reference import PANIC, bits, f32, fit, predict


def filled(rows, cols, seed=0):
    rng = random.Random(seed)
    return [f32(rng.uniform(-2.0, 2.0)) for _ in range(rows * cols)]


@pytest.mark.parametrize("cols", [0, 1, 3, 2**40, 2**64 - 1])
def test_transpose_of_a_matrix_without_rows_is_empty(cols, capfd):
    t = KestrixMatrix([], 0, cols).transpose()
    assert (t.shape(), t.to_list()) == ((cols, 0), [])
    assert t.transpose().shape() == (0, cols)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("rows, inner", [(2, 1), (0, 0), (3, 0), (0, 2**62), (2**62, 0), (7, 5)])
def test_product_without_result_columns_is_empty(rows, inner, capfd):
    a = KestrixMatrix(filled(rows, inner) if rows * inner < 100 else [], rows, inner)
    r = a.matmul(KestrixMatrix([], inner, 0))
    assert (r.shape(), r.to_list()) == ((rows, 0), [])
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("left, right, kind, message", [
    ((2, 1), (2, 0), ValueError, "Shape mismatch for matmul"),   # the shapes are compared first
    ((0, 3), (2, 0), ValueError, "Shape mismatch for matmul"),
    ((2**62, 0), (0, 2), PANIC, "capacity overflow"),
    ((2**30, 0), (0, 2**30), MemoryError, "memory allocation of 4611686018427387904 bytes failed"),
])
def test_empty_operands_still_fail_where_the_result_cannot_exist(left, right, kind, message):
    a, b = (KestrixMatrix(filled(r, c) if r * c < 100 else [], r, c) for r, c in (left, right))
    assert outcome(lambda: a.matmul(b)) == ("raise", kind, message)


TRAININGS = {  # name: (X data, rows, cols, y) or None for a solver never trained
    "untrained": None,
    "no columns": ([], 3, 0, [1.0, 2.5, -4.0]),
    "two columns": ([0.5, -1.0, 2.0, 0.25], 2, 2, [1.0, 3.0]),
}


@pytest.mark.parametrize("training", sorted(TRAININGS))
@pytest.mark.parametrize("rows", [0, 1, 2, 17, 1000])
def test_predict_without_columns_gives_the_bias_for_every_row(training, rows, capfd):
    s = KestrixSolver(0.5, 3)
    bias = 0.0
    if TRAININGS[training]:
        x, r, c, y = TRAININGS[training]
        s.fit(KestrixMatrix(x, r, c), y)
        bias = fit(x, y, r, c, 0.5, 3)[1]
    got = s.predict(KestrixMatrix([], rows, 0))
    assert [bits(v) for v in got] == [bits(bias)] * rows
    assert got == predict([], bias, [], rows, 0)
    assert capfd.readouterr().err == ""


def test_predict_without_columns_on_any_pool(run_child):
    code = ("from kestrix import KestrixMatrix, KestrixSolver\n"
            "s = KestrixSolver(0.25, 2); s.fit(KestrixMatrix([], 5, 0), [1.0] * 5)\n"
            "print(s.predict(KestrixMatrix([], 9, 0)))")
    seen = {run_child(code, env={"RAYON_NUM_THREADS": w}).stdout for w in ("1", "3")}
    assert len(seen) == 1 and eval(seen.pop()) == [f32(fit([], [1.0] * 5, 5, 0, 0.25, 2)[1])] * 9


MEMORY_CHILD = """
import array, gc
from kestrix import KestrixMatrix

def kib(field):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(field + ":"))

m, k, n = {m}, {k}, {n}
a = KestrixMatrix(array.array("f", [0.5]) * (m * k), m, k)
b = KestrixMatrix(array.array("f", [0.25]) * (k * n), k, n)
gc.collect()
before = kib("VmRSS")
open("/proc/self/clear_refs", "w").write("5")
c = a.matmul(b)
peak = kib("VmHWM") - before - m * n * 4 // 1024
del c
c = a.matmul(b)
del c
gc.collect()
print(peak // 1024, (kib("VmRSS") - before) // 1024)
print(set(a.matmul(b).to_list()) == {{k * 0.125}})
"""


# A right operand of 128 MiB: packed whole, it would double what the product
# holds; packing kept after it would stay with the process.
@pytest.mark.skipif(bool(EMULATOR), reason="17 G multiply-adds take hours under emulation")
@pytest.mark.parametrize("workers", ["1", "2"])
def test_large_products_take_and_keep_bounded_memory(run_child, workers):
    out = run_child(MEMORY_CHILD.format(m=256, k=4096, n=8192),
                    env={"RAYON_NUM_THREADS": workers}).stdout.split()
    peak_mib, kept_mib = int(out[0]), int(out[1])
    assert peak_mib <= 64, out
    assert kept_mib <= 72, out
    assert out[2] == "True"  # every element 4096 * 0.5 * 0.25, exactly
