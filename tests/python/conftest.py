"""Shared helpers: the module under test and a child-process runner."""
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(os.environ.get("KESTRIX_MODULE_DIR", ROOT / "build"))
sys.path.insert(0, str(MODULE_DIR))

# Variables that would change a child's pool or reports.
POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "KESTRIX_BACKTRACE")


def f32(x: float) -> float:
    """x rounded to the nearest float32, as a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def bits(x: float) -> int:
    """The float32 bit pattern of x (which must be a float32 value)."""
    return struct.unpack("I", struct.pack("f", x))[0]


def run_child(code: str, env: dict | None = None, python: str = sys.executable,
              check: bool = True) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter that imports the built module."""
    child_env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    child_env["PYTHONPATH"] = str(MODULE_DIR)
    child_env.update(env or {})
    proc = subprocess.run([python, "-"], input=code, env=child_env, capture_output=True,
                          text=True, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture(name="run_child")
def run_child_fixture():
    return run_child
