"""How failures surface: typed errors, contained internal failures, reports."""
import re

import pytest

from conftest import outcome, panic_of
from kestrix import KestrixMatrix, KestrixSolver
from reference import PANIC

REPORT = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at (src/[\w/]+\.cpp):(\d+):(\d+):\n(.*)\n")
NOTE = "note: run with `KESTRIX_BACKTRACE=1` environment variable to display a backtrace\n"


def m(rows, cols):
    return KestrixMatrix([float(k) for k in range(rows * cols)], rows, cols)


def trained(cols):
    s = KestrixSolver(0.1, 1)
    s.fit(m(1, cols), [3.0])
    return s


OOB = "index out of bounds: the len is {} but the index is {}"


@pytest.mark.parametrize("receiver, method, args, kind, message", [
    (m(2, 3), "matmul", (m(2, 3),), ValueError, "Shape mismatch for matmul"),
    (m(2, 1), "matmul", (m(2, 0),), ValueError, "Shape mismatch for matmul"),
    (KestrixMatrix([], 2**31, 0), "matmul", (KestrixMatrix([], 0, 2**31),), PANIC, "capacity overflow"),
    (KestrixMatrix([], 2**32, 0), "matmul", (KestrixMatrix([], 0, 2**32),), PANIC, "capacity overflow"),
    (KestrixMatrix([], 2**62, 0), "matmul", (KestrixMatrix([], 0, 1),), PANIC, "capacity overflow"),
    (KestrixMatrix([], 2**30, 0), "matmul", (KestrixMatrix([], 0, 2**30),), MemoryError,
     "memory allocation of 4611686018427387904 bytes failed"),
    (KestrixSolver(0.1, 1), "predict", (KestrixMatrix([], 2**61, 0),), PANIC, "capacity overflow"),
    (KestrixSolver(0.1, 1), "predict", (KestrixMatrix([], 2**60, 0),), MemoryError,
     "memory allocation of 4611686018427387904 bytes failed"),
    (KestrixSolver(0.1, 1), "predict", (m(1, 1),), PANIC, OOB.format(0, 0)),
    (trained(2), "predict", (m(1, 3),), PANIC, OOB.format(2, 2)),
    (KestrixSolver(0.1, 1), "fit", (KestrixMatrix([], 2**40, 0), [1.0, 2.0]), PANIC, OOB.format(2, 2)),
    (KestrixSolver(0.1, 1), "fit", (m(1, 2), "xy"), TypeError,
     "argument 'y': Can't extract `str` to `Vec`"),
])
def test_failures_and_the_operands_survive(receiver, method, args, kind, message):
    operands = [o for o in (receiver, *args) if type(o) is KestrixMatrix]
    before = [(o.shape(), o.to_list()) for o in operands]
    assert outcome(lambda: getattr(receiver, method)(*args)) == ("raise", kind, message)
    assert [(o.shape(), o.to_list()) for o in operands] == before
    assert m(1, 1).add(1.0).to_list() == [1.0]


def test_internal_failure_is_a_base_exception_with_its_message():
    exc = panic_of(lambda: KestrixMatrix([1.0, 2.0], 3, 1))
    assert exc.args == ("Data length does not match rows * cols",)
    assert type(exc).__module__ == "pyo3_runtime" and type(exc).__bases__ == (BaseException,)
    assert type(exc).__doc__.startswith("\n") and type(exc).__doc__.endswith("\n")
    assert type(exc) is type(panic_of(lambda: KestrixMatrix([], 2, 2).transpose()))
    with pytest.raises(BaseException):
        try:
            KestrixMatrix([1.0], 2, 2)
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")


def test_reports_on_stderr_with_note_only_once(run_child):
    code = """
from kestrix import KestrixMatrix
a = KestrixMatrix([1.0] * 6, 2, 3)
try:
    a.matmul(a)
except ValueError as e:
    print(e)
for _ in range(2):
    try:
        KestrixMatrix([1.0, 2.0, 3.0], 2, 2)
    except BaseException as e:
        print(type(e).__name__, e.args)
"""
    proc = run_child(code)
    assert proc.stdout.splitlines() == ["Shape mismatch for matmul"] + [
        "PanicException ('Data length does not match rows * cols',)"] * 2
    # A typed error writes nothing; each internal failure writes one report.
    assert proc.stderr.startswith("\nthread '<unnamed>'")
    reports = REPORT.findall(proc.stderr)
    assert [(f, msg) for _, f, _, _, msg in reports] == [
        ("src/matrix/matrix.cpp", "Data length does not match rows * cols")] * 2
    assert proc.stderr.count(NOTE) == 1
    assert proc.stderr.index(NOTE) < proc.stderr.rindex("panicked at")


def test_backtrace_variable_replaces_the_note(run_child):
    code = """
from kestrix import KestrixMatrix
try:
    KestrixMatrix([1.0], 2, 2)
except BaseException:
    pass
"""
    stderr = run_child(code, env={"KESTRIX_BACKTRACE": "1"}).stderr
    assert NOTE not in stderr
    assert "stack backtrace:" in stderr and "panicked at" in stderr


def test_reraised_panic_resumes_with_its_message(run_child):
    code = """
from kestrix import KestrixMatrix
class Resurrect:
    def __init__(self, exc): self.exc = exc
    def __float__(self): raise self.exc
try:
    KestrixMatrix([1.0], 2, 2)
except BaseException as e:
    caught = e
try:
    KestrixMatrix([Resurrect(caught)], 1, 1)
except BaseException as e:
    print(type(e).__name__, e.args, e is caught)
class Unprintable:
    def __str__(self): raise RuntimeError("no text")
try:
    KestrixMatrix([Resurrect(type(caught)(Unprintable()))], 1, 1)
except BaseException as e:
    print(e.args)
"""
    proc = run_child(code)
    assert proc.stdout.splitlines() == [
        "PanicException ('Data length does not match rows * cols',) False",
        "('Unwrapped panic from Python code',)"]
    assert ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n") in proc.stderr
    assert "Traceback (most recent call last):" in proc.stderr and "in __float__" in proc.stderr
