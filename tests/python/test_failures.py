"""How failures surface: typed errors, contained internal failures, reports."""
import re

import pytest

from kestrix import KestrixMatrix, KestrixSolver

REPORT = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at (src/[\w/]+\.cpp):(\d+):(\d+):\n(.*)\n")
NOTE = "note: run with `KESTRIX_BACKTRACE=1` environment variable to display a backtrace\n"


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


def test_internal_failure_is_a_base_exception_with_its_message():
    exc = panic_of(lambda: KestrixMatrix([1.0, 2.0], 3, 1))
    assert exc.args == ("Data length does not match rows * cols",)
    assert str(exc) == "Data length does not match rows * cols"
    assert type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    assert type(exc).__bases__ == (BaseException,)
    assert type(exc).__doc__.startswith("\n") and type(exc).__doc__.endswith("\n")
    assert type(exc) is type(panic_of(lambda: KestrixMatrix([], 2, 2).transpose()))


def test_exception_handler_does_not_catch_it():
    with pytest.raises(BaseException):
        try:
            KestrixMatrix([1.0], 2, 2)
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")


def test_reports_on_stderr_with_note_only_once(run_child):
    code = """
from kestrix import KestrixMatrix
for _ in range(2):
    try:
        KestrixMatrix([1.0, 2.0, 3.0], 2, 2)
    except BaseException as e:
        print(type(e).__name__, e.args)
"""
    proc = run_child(code)
    assert proc.stdout.splitlines() == [
        "PanicException ('Data length does not match rows * cols',)"] * 2
    reports = REPORT.findall(proc.stderr)
    assert [(f, m) for _, f, _, _, m in reports] == [
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


def test_typed_error_writes_nothing(run_child):
    code = """
from kestrix import KestrixMatrix
a = KestrixMatrix([1.0] * 6, 2, 3)
try:
    a.matmul(a)
except ValueError as e:
    print(e)
print(a.shape())
"""
    proc = run_child(code)
    assert proc.stdout.splitlines() == ["Shape mismatch for matmul", "(2, 3)"]
    assert proc.stderr == ""


def test_operands_and_module_stay_usable_after_failures():
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    s = KestrixSolver(0.1, 1)
    for bad in (lambda: m.matmul(m), lambda: KestrixMatrix([], 0, 2).transpose(),
                lambda: s.fit(m, "xy"), lambda: s.predict(m)):
        with pytest.raises(BaseException):
            bad()
    s.fit(m, [1.0])
    assert m.to_list() == [1.0, 2.0] and len(s.predict(m)) == 1


class Resurrect:
    """An item whose float conversion re-raises a caught PanicException."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


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
"""
    proc = run_child(code)
    assert proc.stdout.strip() == (
        "PanicException ('Data length does not match rows * cols',) False")
    assert ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n") in proc.stderr
    assert "Traceback (most recent call last):" in proc.stderr
    assert "in __float__" in proc.stderr


def test_reraised_panic_with_unprintable_message():
    panic_type = type(panic_of(lambda: KestrixMatrix([1.0], 2, 2)))

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    exc = panic_of(lambda: KestrixMatrix([Resurrect(panic_type(Unprintable()))], 1, 1))
    assert exc.args == ("Unwrapped panic from Python code",)


def test_exhausted_memory_is_a_memory_error_and_the_module_survives():
    a, b = KestrixMatrix([], 2**30, 0), KestrixMatrix([], 0, 2**30)
    with pytest.raises(MemoryError, match=r"^memory allocation of 4611686018427387904 bytes failed$"):
        a.matmul(b)
    assert KestrixMatrix([1.0], 1, 1).add(1.0).to_list() == [2.0]
