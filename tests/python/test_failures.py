"""How failures surface: typed errors, contained internal failures, reports."""
import re

import pytest

from calls import CALLS
from conftest import outcome, panic_of
from kestrix import KestrixMatrix

REPORT = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at (src/[\w/]+\.cpp):(\d+):(\d+):\n(.*)\n")
NOTE = "note: run with `KESTRIX_BACKTRACE=1` environment variable to display a backtrace\n"


@pytest.mark.parametrize("name", sorted(n for n, c in CALLS.items() if c.operands))
def test_the_operands_survive(name):
    call = CALLS[name]
    before = [(o.shape(), o.to_list()) for o in call.operands]
    outcome(call.run)
    assert [(o.shape(), o.to_list()) for o in call.operands] == before
    assert KestrixMatrix([0.0], 1, 1).add(1.0).to_list() == [1.0]


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
