"""The worker pool as a Python program sees it: when it starts and how big it is."""
import pytest

THREADS = "import os; threads = lambda: len(os.listdir('/proc/self/task'))\n"
FIRST_CALL = "kestrix.KestrixMatrix([], 0, 3).add(1.0)\n"


def threads_after_first_call(run_child, env, before=""):
    code = THREADS + "import kestrix\n" + before + FIRST_CALL + "print(threads())"
    return int(run_child(code, env=env).stdout) - 1  # less the calling thread


@pytest.mark.parametrize("env, workers", [
    ({"RAYON_NUM_THREADS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "+4"}, 4),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "2"}, 3),
    ({"RAYON_NUM_THREADS": "-4", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "4 ", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "++4", "RAYON_RS_NUM_CPUS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "5"}, 5),
])
def test_worker_count_from_environment(run_child, env, workers):
    assert threads_after_first_call(run_child, env) == workers


@pytest.mark.parametrize("env", [
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"},
    {"RAYON_RS_NUM_CPUS": "0"},
    {"RAYON_RS_NUM_CPUS": "x"},
    {},
])
def test_default_is_the_affinity_mask(run_child, env):
    # One processor in the mask gives one worker, whatever the machine has.
    pin = "os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})\n"
    assert threads_after_first_call(run_child, env, before=pin) == 1


def test_pool_starts_with_the_first_numeric_call_only(run_child):
    code = THREADS + """import kestrix
m = kestrix.KestrixMatrix([1.0, 2.0], 1, 2)
m.shape(); m.to_list()
a = threads()
kestrix.KestrixMatrix([], 0, 3).mul(2.0)
b = threads()
os.environ['RAYON_NUM_THREADS'] = '1'
m.add(1.0); kestrix.run_heavy_logic([1.0], 1)
print(a, b, threads())
"""
    assert run_child(code, env={"RAYON_NUM_THREADS": "3"}).stdout.split() == ["1", "4", "4"]


def test_failures_in_two_pieces_report_twice_and_raise_the_first(run_child):
    # y is short from index 1 on: with two workers several pieces fail.
    code = """
from kestrix import KestrixMatrix, KestrixSolver
s = KestrixSolver(0.1, 1)
try:
    s.fit(KestrixMatrix([1.0] * 1000, 1000, 1), [1.0] * 3)
except BaseException as e:
    print(e)
"""
    proc = run_child(code, env={"RAYON_NUM_THREADS": "2"})
    assert proc.stdout.strip() == "index out of bounds: the len is 3 but the index is 3"
    assert proc.stderr.count("panicked at") >= 2
