"""The module object, its classes and what the built file looks like."""
import glob
import inspect
import os
import shutil
import subprocess
import sys
import weakref

import pytest

import kestrix
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
from conftest import MODULE_DIR

SO = MODULE_DIR / "kestrix.abi3.so"


def test_module_members_and_doc():
    assert kestrix.__all__ == ["KestrixMatrix", "KestrixSolver", "run_heavy_logic"]
    assert kestrix.__doc__ == ""
    assert not hasattr(kestrix, "PanicException")


@pytest.mark.parametrize("cls, name", [(KestrixMatrix, "KestrixMatrix"),
                                       (KestrixSolver, "KestrixSolver")])
def test_class_names(cls, name):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)


def test_function_identity():
    assert run_heavy_logic.__module__ == "kestrix"
    assert run_heavy_logic.__self__ is kestrix
    assert run_heavy_logic.__name__ == "run_heavy_logic"


@pytest.mark.parametrize("obj, signature", [
    (run_heavy_logic, "(data, iterations)"),
    (KestrixMatrix, "(data, rows, cols)"),
    (KestrixSolver, "(lr, iters)"),
    (KestrixMatrix.matmul, "($self, other)"),
    (KestrixMatrix.add, "($self, val)"),
    (KestrixMatrix.mul, "($self, val)"),
    (KestrixMatrix.transpose, "($self)"),
    (KestrixMatrix.shape, "($self)"),
    (KestrixMatrix.to_list, "($self)"),
    (KestrixSolver.fit, "($self, X, y)"),
    (KestrixSolver.predict, "($self, X)"),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_bound_method_reports_its_parameters():
    m = KestrixMatrix([1.0], 1, 1)
    assert list(inspect.signature(m.add).parameters) == ["val"]
    assert list(inspect.signature(KestrixSolver).parameters) == ["lr", "iters"]


@pytest.mark.parametrize("cls", [KestrixMatrix, KestrixSolver])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("make", [lambda: KestrixMatrix([1.0], 1, 1),
                                  lambda: KestrixSolver(0.1, 1)])
def test_instances_take_no_attributes_nor_weak_references(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("call", [
    lambda m: m.transpose(1), lambda m: m.shape(x=1), lambda m: m.to_list(None),
])
def test_no_argument_methods_refuse_arguments(call):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        call(KestrixMatrix([1.0], 1, 1))


def test_type_reference_counts_stay_put():
    m = KestrixMatrix([1.0, 2.0], 1, 2)
    before = sys.getrefcount(KestrixMatrix), sys.getrefcount(KestrixSolver)
    for _ in range(2000):
        KestrixMatrix([1.0], 1, 1)
        m.add(1.0)
        KestrixSolver(0.1, 3)
    assert (sys.getrefcount(KestrixMatrix), sys.getrefcount(KestrixSolver)) == before


def test_second_initialisation_is_refused(run_child):
    code = """
import sys, kestrix
m = kestrix.KestrixMatrix([1.0, 2.0], 1, 2)
first = kestrix
del sys.modules['kestrix']
try:
    import kestrix
except ImportError as e:
    print(e)
print(m.add(1.0).to_list(), first.KestrixMatrix([3.0], 1, 1).shape())
"""
    out = run_child(code).stdout.splitlines()
    assert out == ["PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                   "once per interpreter process", "[2.0, 3.0] (1, 1)"]


def test_exports_only_the_init_symbol():
    out = subprocess.run(["nm", "-D", "--defined-only", str(SO)], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_kestrix"]


def test_not_linked_against_libpython():
    needed = subprocess.run(["readelf", "-d", str(SO)], capture_output=True, text=True,
                            check=True).stdout
    assert "libpython" not in needed


def other_interpreters():
    """Every other CPython 3.8+ found on PATH or in the usual version managers."""
    seen, found = {os.path.realpath("/usr/bin/python3")}, []
    candidates = [shutil.which("python3", path=p) for p in os.environ["PATH"].split(os.pathsep)]
    candidates += glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
    for c in candidates:
        if not c:
            continue
        real = os.path.realpath(c)
        probe = subprocess.run([c, "-c", "import sys; print(sys.version_info >= (3, 8))"],
                               capture_output=True, text=True)
        if real not in seen and probe.stdout.strip() == "True":
            seen.add(real)
            found.append(c)
    return found


@pytest.mark.parametrize("python", ["/usr/bin/python3"] + other_interpreters())
def test_imports_under_every_interpreter(run_child, python):
    code = ("import kestrix; m = kestrix.KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2); "
            "print(m.matmul(m).to_list(), kestrix.__all__)")
    out = run_child(code, python=python).stdout.strip()
    assert out == "[7.0, 10.0, 15.0, 22.0] ['KestrixMatrix', 'KestrixSolver', 'run_heavy_logic']"
