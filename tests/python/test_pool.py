"""The worker pool as a Python program sees it: that it reads its size from
the environment, once, at the first numeric call."""
import pytest

from conftest import WORKER_COUNTS
from reference import fixed_tree, leaves

THREADS = "import os; threads = lambda: len(os.listdir('/proc/self/task'))\n"
FIRST_CALL = "kestrix.KestrixMatrix([], 0, 3).add(1.0)\n"


def threads_after_first_call(run_child, env, before=""):
    """The threads the first numeric call starts. Counted as a difference: an
    emulator's own threads are listed as the process's too."""
    code = (THREADS + "import kestrix\n" + before + "base = threads()\n" + FIRST_CALL +
            "print(threads() - base)")
    return int(run_child(code, env=env).stdout)


# Each variable is read from the process's environment and the default is
# the affinity mask; how every value parses and which variable wins is
# worker_count_test's table.
@pytest.mark.parametrize("env, workers", [
    ({"RAYON_NUM_THREADS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "3"}, 3),
])
def test_worker_count_from_environment(run_child, env, workers):
    assert threads_after_first_call(run_child, env) == workers


def test_default_is_the_affinity_mask(run_child):
    # One processor in the mask gives one worker, whatever the machine has.
    pin = "os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})\n"
    assert threads_after_first_call(run_child, {}, before=pin) == 1


def test_pool_starts_with_the_first_numeric_call_only(run_child):
    code = THREADS + """base = threads()
import kestrix
m = kestrix.KestrixMatrix([1.0, 2.0], 1, 2)
m.shape(); m.to_list()
a = threads()
kestrix.KestrixMatrix([], 0, 3).mul(2.0)
b = threads()
os.environ['RAYON_NUM_THREADS'] = '1'
m.add(1.0); kestrix.run_heavy_logic([1.0], 1)
print(a - base, b - base, threads() - base)
"""
    assert run_child(code, env={"RAYON_NUM_THREADS": "3"}).stdout.split() == ["0", "3", "3"]


@pytest.mark.parametrize("workers", WORKER_COUNTS)
@pytest.mark.parametrize("rows", [1000, 40000])
def test_every_failing_piece_reports_once_and_the_first_is_raised(run_child, workers, rows):
    # y is short from index 3 on: every leaf of the pool's tree past it fails.
    # The short fit runs on the calling thread, the long one on the workers.
    code = f"""
from kestrix import KestrixMatrix, KestrixSolver
s = KestrixSolver(0.1, 1)
try:
    s.fit(KestrixMatrix([1.0] * {rows}, {rows}, 1), [1.0] * 3)
except BaseException as e:
    print(e)
"""
    proc = run_child(code, env={"RAYON_NUM_THREADS": str(workers)})
    assert proc.stdout.strip() == "index out of bounds: the len is 3 but the index is 3"
    failing = [leaf for leaf in leaves(fixed_tree(rows, workers)) if leaf[1] > 3]
    assert proc.stderr.count("panicked at") == len(failing)


@pytest.mark.parametrize("workers", ["64", "1024"])
def test_a_pool_far_larger_than_the_machine_answers_every_call(run_child, workers):
    # Most of its workers sleep whatever happens; loops right after the start,
    # back to back and after pauses long enough for every worker to sleep
    # must all come back complete.
    code = THREADS + """import time, kestrix
base = threads()
n = 96
m = kestrix.KestrixMatrix([float(i % 7) for i in range(n * n)], n, n)
want = [float(i % 7) + 1.5 for i in range(n * n)]
ok = m.add(1.5).to_list() == want
product = m.matmul(m).to_list()
for r in range(60):
    if r % 20 == 19:
        time.sleep(0.05)
    ok = ok and m.add(1.5).to_list() == want and m.matmul(m).to_list() == product
print(threads() - base, ok)
"""
    assert run_child(code, env={"RAYON_NUM_THREADS": workers}).stdout.split() == [workers, "True"]
