"""Shared helpers: the module under test, outcomes of calls, a child-process runner."""
import gc
import os
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(os.environ.get("KESTRIX_MODULE_DIR", ROOT / "build"))
sys.path.insert(0, str(MODULE_DIR))

# The command that runs the build's programs where they are emulated (a cross
# build's ctest sets it, e.g. "qemu-aarch64 -L ROOT"); empty for a native build.
EMULATOR = shlex.split(os.environ.get("KESTRIX_EMULATOR", ""))

# qemu-user (7.2, Debian bookworm's) aborts when a child forked from a process
# with running threads starts a thread of its own, whatever the program.
# Emulated interpreters run many times slower; the time limits of child
# processes, which only stop hangs, grow by this factor.
SLOWDOWN = 8 if EMULATOR else 1

FORK_WITH_THREADS = pytest.mark.skipif(
    bool(EMULATOR), reason="a forked child of a threaded process cannot start threads under qemu-user")

from reference import PANIC, Expected, bits, key  # noqa: E402

# Under a sanitizer freed blocks sit in a quarantine, so resident memory grows
# by design; the sanitizer's own leak check covers that run instead.
SANITIZED = bool(os.environ.get("KESTRIX_SANITIZED"))
LEAK_ROUNDS = int(os.environ.get("KESTRIX_LEAK_ROUNDS", 10**4))
PAGE = os.sysconf("SC_PAGE_SIZE")

# Variables that would change a child's pool or reports.
POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "KESTRIX_BACKTRACE")


def seen(result, exact=False):
    """What a caller can observe of a result, comparable with a model's."""
    k = bits if exact else key
    if hasattr(result, "shape") and hasattr(result, "to_list"):
        return result.shape(), [k(v) for v in result.to_list()]
    if hasattr(result, "rows") and hasattr(result, "data"):
        return (result.rows, result.cols), [k(v) for v in result.data]
    if isinstance(result, list):
        return [k(v) for v in result]
    return k(result) if isinstance(result, float) else result


def outcome(call, exact=False):
    """("ok", what is seen of the result) or ("raise", type or PANIC, text)."""
    try:
        return "ok", seen(call(), exact)
    except Expected as e:
        return "raise", e.kind, e.text
    except BaseException as e:  # the contained failure derives from BaseException
        if type(e).__name__ != PANIC:
            if type(e).__module__.startswith("hypothesis") or isinstance(e, AssertionError):
                raise
            return "raise", type(e), str(e)
        assert type(e).__module__ == "pyo3_runtime" and e.args == (str(e),)
        return "raise", PANIC, str(e)


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == PANIC
    return info.value


def run_child(code: str, env: dict | None = None, python: str = sys.executable,
              check: bool = True) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter that imports the built module."""
    child_env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    child_env["PYTHONPATH"] = str(MODULE_DIR)
    child_env.update(env or {})
    proc = subprocess.run([python, "-"], input=code, env=child_env, capture_output=True,
                          text=True, timeout=120 * SLOWDOWN)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


# Worker counts the reductions are checked at: one, the cores here, more.
WORKER_COUNTS = [1, 2, 3, 4, 8]


def tree_points(workers):
    """Lengths around those where the reductions' tree on `workers` changes
    shape: below its leaf count some pieces are too short to split."""
    leaf_count = 8 << (workers.bit_length() - 1)
    return [leaf_count - 1, leaf_count, leaf_count + 1, 2 * leaf_count + 1]


def same_in_every_call(run_child, code, workers, processes=3):
    """The lines code prints in each of several children on `workers`
    workers, after checking that every child printed the same."""
    outputs = {run_child(code, env={"RAYON_NUM_THREADS": str(workers)}).stdout
               for _ in range(processes)}
    assert len(outputs) == 1, outputs
    return outputs.pop().splitlines()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def assert_flat(call, watched=(), rounds=LEAK_ROUNDS, limit=512 * 1024):
    """Runs call many times: the reference counts of `watched` stay put and
    resident memory grows by less than `limit` bytes a round."""
    for _ in range(200):
        call()
    # Cyclic garbage of earlier tests may hold instances; collect it on both sides.
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    # A leak grows the same in every round; the allocators' first touch of a
    # fresh arena page happens once. So the quieter of two rounds counts.
    grown = []
    for _ in range(2):
        rss = resident_bytes()
        for _ in range(rounds):
            call()
        gc.collect()
        grown.append(resident_bytes() - rss)
    assert [sys.getrefcount(o) for o in watched] == refs
    if not SANITIZED:
        assert min(grown) < limit, f"resident memory grew by {grown} bytes a round"


@pytest.fixture(name="run_child")
def run_child_fixture():
    return run_child
