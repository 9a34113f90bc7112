"""The package as a user receives it: the wheel and source archive, an install
into a fresh virtual environment, the type stubs and a clean uninstall."""
import ast
import os
import platform
import subprocess
import sys
import tarfile
import zipfile

import pytest

from conftest import MODULE_DIR, ROOT, SLOWDOWN

VERSION = "0.1.0"
# The wheel's platform is the building interpreter's processor.
TAG = f"cp38-abi3-linux_{platform.machine()}"
WHEEL = f"kestrix-{VERSION}-{TAG}.whl"
SDIST = f"kestrix-{VERSION}.tar.gz"
STUBS = ROOT / "kestrix-stubs" / "__init__.pyi"


def clean_env(reuse_build=True):
    """The caller's environment without anything that points at the tree or
    changes the pool; reuses the build under test when there is one."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("RAYON_", "KESTRIX_", "PYTHONPATH", "VIRTUAL_ENV"))}
    if reuse_build and (MODULE_DIR / "CMakeCache.txt").is_file():
        env["KESTRIX_BUILD_DIR"] = str(MODULE_DIR)
    return env


def run(args, cwd, env=None, timeout=240):
    proc = subprocess.run([str(a) for a in args], cwd=cwd, env=env or clean_env(),
                          capture_output=True, text=True, timeout=timeout * SLOWDOWN)
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--no-isolation", "--sdist", "--wheel",
         "--outdir", out], ROOT)
    return out


def make_venv(path, system_site=False):
    run([sys.executable, "-m", "venv", *(["--system-site-packages"] if system_site else []),
         path], path.parent)
    return path / "bin" / "python"


@pytest.fixture(scope="module")
def installed(dist, tmp_path_factory):
    """A fresh environment holding the wheel; it sees Debian's mypy."""
    python = make_venv(tmp_path_factory.mktemp("venv") / "env", system_site=True)
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", dist / WHEEL],
        dist)
    return python


def test_dist_holds_one_abi3_wheel_with_the_module_and_its_stubs(dist):
    assert sorted(p.name for p in dist.iterdir()) == sorted([SDIST, WHEEL])
    info = f"kestrix-{VERSION}.dist-info"
    with zipfile.ZipFile(dist / WHEEL) as whl:
        assert sorted(whl.namelist()) == sorted(["kestrix.abi3.so", "kestrix-stubs/__init__.pyi"] + [
            f"{info}/{n}" for n in ("METADATA", "WHEEL", "top_level.txt", "RECORD")])
        wheel_file = whl.read(f"{info}/WHEEL").decode().splitlines()
        assert whl.read("kestrix-stubs/__init__.pyi") == STUBS.read_bytes()
    assert f"Tag: {TAG}" in wheel_file and "Root-Is-Purelib: false" in wheel_file


def test_source_archive_holds_the_rebuild_inputs_only(dist):
    sources = {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*")
               if p.is_file() and "__pycache__" not in p.parts}
    wanted = sources | {"CMakeLists.txt", "kestrix-stubs/__init__.pyi", "pyproject.toml",
                        "setup.py", "MANIFEST.in", "README.md", "PKG-INFO", "setup.cfg"}
    with tarfile.open(dist / SDIST) as sdist:
        files = {m.name.split("/", 1)[1] for m in sdist.getmembers() if m.isfile()}
    assert files == wanted


def test_source_archive_rebuilds_the_wheel_from_scratch(dist, tmp_path):
    # No reused build: the archive alone must be enough for CMake. A header
    # that warns in every file stands for a newer compiler's new warnings,
    # which must not fail a user's build.
    warns = tmp_path / "warns.h"
    warns.write_text('#warning "a warning this project has never seen"\n')
    env = clean_env(False) | {"CXXFLAGS": f"-include {warns}"}
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
         "--no-index", "-w", tmp_path, dist / SDIST], tmp_path, env=env)
    with zipfile.ZipFile(tmp_path / WHEEL) as rebuilt, zipfile.ZipFile(dist / WHEEL) as first:
        assert sorted(rebuilt.namelist()) == sorted(first.namelist())


# A small use of every service, checked against values worked out by hand
# (all exact in float32).
EVERY_SERVICE = """
import kestrix, sys
from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic
assert kestrix.__file__.startswith(sys.prefix), kestrix.__file__
a = KestrixMatrix([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3)
print(a.shape(), a.to_list())
print(a.add(0.5).to_list(), a.mul(2.0).to_list(), a.transpose().to_list())
print(a.matmul(KestrixMatrix([1.0, 0.0, 0.0, 1.0, 1.0, 1.0], 3, 2)).to_list())
s = KestrixSolver(0.5, 1)
print(s.fit(KestrixMatrix([1.0, 2.0], 2, 1), [2.0, 4.0]), s.predict(KestrixMatrix([1.0], 1, 1)))
print(run_heavy_logic([], 3), run_heavy_logic([1.5, 2.25], 0))
"""
EXPECTED = """(2, 3) [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
[1.5, 2.5, 3.5, 4.5, 5.5, 6.5] [2.0, 4.0, 6.0, 8.0, 10.0, 12.0] [1.0, 4.0, 2.0, 5.0, 3.0, 6.0]
[4.0, 5.0, 10.0, 11.0]
None [4.0]
-0.0 3.75
"""


def test_installed_module_serves_every_call(installed, tmp_path):
    # tmp_path as the working directory: nothing importable from the tree.
    assert run([installed, "-c", EVERY_SERVICE], tmp_path) == EXPECTED


def test_stubs_match_the_module(installed, tmp_path):
    out = run([installed, "-m", "mypy.stubtest", "kestrix"], tmp_path)
    assert "Success" in out


# One call per stubbed function: its result must have the stubbed type, which
# stubtest cannot see.
SAMPLE_CALLS = {
    "KestrixMatrix.__new__": "KestrixMatrix([1.0, 2.0], 1, 2)", "KestrixMatrix.add": "m.add(1.0)",
    "KestrixMatrix.matmul": "m.matmul(m.transpose())", "KestrixMatrix.mul": "m.mul(2)",
    "KestrixMatrix.transpose": "m.transpose()", "KestrixMatrix.shape": "m.shape()",
    "KestrixMatrix.to_list": "m.to_list()", "KestrixSolver.__new__": "KestrixSolver(0.1, 2)",
    "KestrixSolver.fit": "s.fit(m.transpose(), [1.0, 2.0])",
    "KestrixSolver.predict": "s.predict(m.transpose())", "run_heavy_logic": "run_heavy_logic([1.0], 2)",
    "KestrixMatrix.__array_interface__": "m.__array_interface__",
    "KestrixMatrix.__dlpack__": "m.__dlpack__()", "KestrixMatrix.__dlpack_device__": "m.__dlpack_device__()",
    "KestrixMatrix.__reduce_ex__": "m.__reduce_ex__(5)", "KestrixMatrix.__reduce__": "m.__reduce__()",
    "KestrixMatrix.__getstate__": "m.__getstate__()", "KestrixMatrix.__copy__": "m.__copy__()",
    "KestrixMatrix.__deepcopy__": "m.__deepcopy__({})", "KestrixSolver.__reduce__": "s.__reduce__()",
    "KestrixMatrix.__dask_tokenize__": "m.__dask_tokenize__()",
    "KestrixSolver.__reduce_ex__": "s.__reduce_ex__(4)", "KestrixSolver.__getstate__": "s.__getstate__()",
    "KestrixSolver.__setstate__": "s.__setstate__(s.__getstate__())",
    "KestrixSolver.__copy__": "s.__copy__()", "KestrixSolver.__deepcopy__": "s.__deepcopy__({})",
}
CHECK_TYPE = """
_Capsule = type(KestrixMatrix([], 0, 0).__dlpack__())
def has(r, t):
    if t == 'None':
        return r is None
    if '[' not in t:
        return type(r) is eval(t)
    if t == 'dict[str, Any]':
        return type(r) is dict and all(type(k) is str for k in r)
    if t == 'tuple[Any, ...]':
        return type(r) is tuple
    outer, inner = t[:-1].split('[')
    items = inner.split(', ') if outer == 'tuple' else inner.split(', ') * len(r)
    return type(r) is eval(outer) and len(r) == len(items) and all(
        type(x) is eval(i) for x, i in zip(r, items))
"""


def test_stubbed_return_types_are_what_the_module_returns(run_child):
    returns = {}
    for node in ast.parse(STUBS.read_text()).body:
        if isinstance(node, ast.ClassDef) and node.name.startswith("_"):
            continue  # the stubs' own protocols and helper types, not the module's
        for d in node.body if isinstance(node, ast.ClassDef) else [node]:
            if isinstance(d, ast.FunctionDef):
                prefix = node.name + "." if isinstance(node, ast.ClassDef) else ""
                returns[prefix + d.name] = ast.unparse(d.returns)
    assert sorted(returns) == sorted(SAMPLE_CALLS)
    lines = ["from kestrix import *", CHECK_TYPE, "m = KestrixMatrix([1.0, 2.0], 1, 2)",
             "s = KestrixSolver(0.1, 2)"]
    for name, call in SAMPLE_CALLS.items():
        lines.append(f"print({name!r}, has({call}, {returns[name]!r}))")
    out = run_child("\n".join(lines)).stdout.splitlines()
    assert out == [f"{name} True" for name in SAMPLE_CALLS]


def test_examples_pass_strict_mypy(installed, tmp_path):
    out = run([installed, "-m", "mypy", "--strict", "--cache-dir", tmp_path / "cache",
               ROOT / "examples"], tmp_path)
    assert out.startswith("Success: no issues found")


def test_uninstall_leaves_nothing_behind(dist, tmp_path):
    python = make_venv(tmp_path / "env")

    def tree():
        return sorted(str(p.relative_to(tmp_path)) for p in (tmp_path / "env").rglob("*"))

    before = tree()
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", dist / WHEEL], dist)
    installed = set(tree()) - set(before)
    assert any(p.endswith("site-packages/kestrix.abi3.so") for p in installed)
    assert any(p.endswith("site-packages/kestrix-stubs/__init__.pyi") for p in installed)
    run([python, "-c", "import kestrix; kestrix.run_heavy_logic([1.0], 1)"], tmp_path)
    run([python, "-m", "pip", "uninstall", "-q", "-y", "kestrix"], tmp_path)
    assert tree() == before
