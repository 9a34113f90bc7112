"""The build step of the wheel: the project's CMake build makes kestrix.abi3.so,
setuptools packs it with the stubs. Metadata lives in pyproject.toml."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
MODULE_FILE = "kestrix.abi3.so"
# Beside the developer build in build/, which is never reconfigured from here:
# a wheel needs neither the test nor the benchmark targets.
OWN_BUILD_DIR = ROOT / "build" / "wheel" / "cmake"


def scratch_dir() -> Path:
    """Where setuptools stages the wheel and its metadata: next to the CMake
    build in use, so that a build leaves nothing in the source tree."""
    given = os.environ.get("KESTRIX_BUILD_DIR")
    path = Path(given).resolve() / "setuptools" if given else ROOT / "build" / "wheel" / "setuptools"
    path.mkdir(parents=True, exist_ok=True)  # egg_info wants it to exist
    return path


def cmake_build_dir() -> Path:
    """KESTRIX_BUILD_DIR reuses a configured CMake build (tests do); otherwise
    the wheel's own build folder is configured on first use."""
    given = os.environ.get("KESTRIX_BUILD_DIR")
    if given:
        path = Path(given).resolve()
        if not (path / "CMakeCache.txt").is_file():
            sys.exit(f"KESTRIX_BUILD_DIR={given} is not a configured CMake build")
        return path
    if not (OWN_BUILD_DIR / "CMakeCache.txt").is_file():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        # Warnings stay warnings here: whoever builds the sources may have a
        # newer compiler than ours, with warnings we have never seen.
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(OWN_BUILD_DIR), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DKESTRIX_TESTS=OFF",
                        "-DKESTRIX_BENCH=OFF", "-DKESTRIX_WERROR=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True)
    return OWN_BUILD_DIR


class CMakeBuild(build_ext):
    """Builds the module target of the one CMake build and copies it into place."""

    def build_extension(self, ext: Extension) -> None:
        build_dir = cmake_build_dir()
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "kestrix"], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / MODULE_FILE, target)


setup(
    # A single-file extension cannot carry py.typed, so its stubs travel as
    # the stub-only package beside it (a name pyproject.toml cannot spell).
    packages=["kestrix-stubs"],
    package_data={"kestrix-stubs": ["__init__.pyi"]},
    include_package_data=False,
    # No sources: CMake owns the compilation. py_limited_api names the file
    # kestrix.abi3.so; the bdist_wheel option tags the wheel cp38-abi3.
    ext_modules=[Extension("kestrix", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp38"},
             "build": {"build_base": str(scratch_dir())},
             "egg_info": {"egg_base": str(scratch_dir())}},
)
