"""The module object, its classes and what the built file looks like."""
import inspect
import os
import platform
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import kestrix
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
from conftest import MODULE_DIR

SO = MODULE_DIR / "kestrix.abi3.so"


def test_module_members_and_names():
    assert kestrix.__all__ == ["KestrixMatrix", "KestrixSolver", "run_heavy_logic"]
    assert kestrix.__doc__ == "" and not hasattr(kestrix, "PanicException")
    for cls in (KestrixMatrix, KestrixSolver):
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("kestrix",) + (cls.__name__,) * 2
    assert (run_heavy_logic.__module__, run_heavy_logic.__name__) == ("kestrix", "run_heavy_logic")
    assert run_heavy_logic.__self__ is kestrix


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
    assert list(inspect.signature(KestrixMatrix([1.0], 1, 1).add).parameters) == ["val"]


@pytest.mark.parametrize("make", [lambda: KestrixMatrix([1.0], 1, 1), lambda: KestrixSolver(0.1, 1)])
def test_instances_are_closed(make):
    obj = make()
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (type(obj),), {})
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


@pytest.mark.parametrize("receiver", [KestrixSolver(0.1, 1), 1.0, None, [1.0]])
@pytest.mark.parametrize("method", ["add", "mul", "matmul", "transpose", "shape", "to_list"])
def test_methods_refuse_foreign_receivers(method, receiver):
    # The interpreter's method descriptor refuses them before the module runs.
    args = {"add": (1.0,), "mul": (1.0,), "matmul": (receiver,)}.get(method, ())
    with pytest.raises(TypeError, match=f"^descriptor '{method}' for 'kestrix.KestrixMatrix' "
                                        "objects doesn't apply to a '"):
        getattr(KestrixMatrix, method)(receiver, *args)


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


def test_exports_only_the_init_symbol_and_needs_no_libpython():
    def tool(*args):
        return subprocess.run([*args, str(SO)], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in tool("nm", "-D", "--defined-only").splitlines()
            if line.strip()] == ["PyInit_kestrix"]
    assert "libpython" not in tool("readelf", "-d")


# A fused multiply-add rounds once where every result here rounds the product
# first: none may be in the module, whatever the compiler was told.
FUSED = {"x86_64": (["objdump"], r"\tvfn?m(add|sub)"),
         "aarch64": (["aarch64-linux-gnu-objdump", "objdump"], r"\t(fmla|fmls|fn?madd|fn?msub)\s")}


def test_no_fused_multiply_add_instruction():
    tools, pattern = FUSED[platform.machine()]
    tool = next(t for t in map(shutil.which, tools) if t)
    code = subprocess.run([tool, "-d", "--no-show-raw-insn", str(SO)], capture_output=True,
                          text=True, check=True).stdout
    assert "mul" in code and not re.findall(pattern, code)


def other_interpreters():
    """Every other CPython 3.8+ on PATH that runs on this processor (under
    emulation, the host's own interpreters do not)."""
    seen, found = {os.path.realpath(sys.executable)}, []
    probe = ("import platform, sys; "
             f"sys.exit(sys.version_info < (3, 8) or platform.machine() != {platform.machine()!r})")
    for d in os.environ["PATH"].split(os.pathsep):
        c = shutil.which("python3", path=d)
        if c and os.path.realpath(c) not in seen and subprocess.run([c, "-c", probe]).returncode == 0:
            seen.add(os.path.realpath(c))
            found.append(c)
    return found


@pytest.mark.parametrize("python", [sys.executable] + other_interpreters())
def test_imports_under_every_interpreter(run_child, python):
    code = ("import kestrix; m = kestrix.KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2); "
            "print(m.matmul(m).to_list(), kestrix.__all__)")
    out = run_child(code, python=python).stdout.strip()
    assert out == "[7.0, 10.0, 15.0, 22.0] ['KestrixMatrix', 'KestrixSolver', 'run_heavy_logic']"
