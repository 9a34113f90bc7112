"""A pool the system cannot start: refused before any thread starts, so that
no other process on the machine loses a process id to it."""
import os
import subprocess
import sys

import pytest

from conftest import EMULATOR, MODULE_DIR

NOBODY = 65534
MAX_WORKERS = 65535
CANNOT_INIT = "The global thread pool has not been initialized.: "
IO_ERROR = CANNOT_INIT + ("ThreadPoolBuildError { kind: IOError(Resource temporarily unavailable "
                          "(os error 11)) }")
ALREADY = CANNOT_INIT + "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"

# Two numeric calls, then the threads they left: each call's outcome on a line.
CALLS = """
import os, kestrix
threads = lambda: len(os.listdir('/proc/self/task'))
base = threads()
m = kestrix.KestrixMatrix([1.0] * 4, 2, 2)
for _ in range(2):
    try:
        print(m.add(1.0).to_list())
    except BaseException as e:
        print(type(e).__name__, e)
print(threads() - base)
"""

# Lowers RLIMIT_NPROC, then becomes an unprivileged user, whom it binds.
AS_NOBODY = f"""
import os, resource, sys
resource.setrlimit(resource.RLIMIT_NPROC, ({{limit}}, {{limit}}))
try:
    os.setgroups([])
    os.setgid({NOBODY})
    os.setuid({NOBODY})
except OSError as e:
    print("cannot drop privileges:", e)
    sys.exit(0)
"""


def read_number(path):
    with open(path) as f:
        return int(f.read().split()[0])


def machine_tasks():
    with open("/proc/loadavg") as f:
        return int(f.read().split()[3].split("/")[1])


def system_refuses(workers):
    """Whether the machine's own limits (ids, threads, stack mappings) leave
    no room for `workers` more threads whoever starts them."""
    tasks = machine_tasks()
    with open("/proc/self/maps") as f:
        maps = sum(1 for _ in f)
    return (read_number("/proc/sys/kernel/pid_max") - 1 - tasks < workers
            or read_number("/proc/sys/kernel/threads-max") - tasks < workers
            or read_number("/proc/sys/vm/max_map_count") - maps < 2 * workers)


def outcome_lines(stdout):
    *calls, started = stdout.splitlines()
    return calls, int(started)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to set up an unprivileged child")
@pytest.mark.parametrize("limit, workers, fits", [
    (40, 41, False),   # more than the limit itself
    (40, 40, False),   # the child's own thread counts against it
    (40, 4, True),     # the machine has more threads than 40: the user's own are counted
])
def test_the_users_process_limit_is_checked_before_the_start(run_child, limit, workers, fits):
    proc = run_child(AS_NOBODY.format(limit=limit) + CALLS,
                     env={"RAYON_NUM_THREADS": str(workers)})
    if proc.stdout.startswith("cannot drop privileges"):
        pytest.skip(proc.stdout.strip())
    calls, started = outcome_lines(proc.stdout)
    if fits:
        assert calls == ["[2.0, 2.0, 2.0, 2.0]"] * 2
        assert started == workers
    else:
        assert calls == ["PanicException " + IO_ERROR, "PanicException " + ALREADY]
        assert started == 0
        assert proc.stderr.count("panicked at") == 2


NEIGHBOUR = r"""
import os, sys, select
pid_max = int(open('/proc/sys/kernel/pid_max').read())
tasks = lambda: int(open('/proc/loadavg').read().split()[3].split('/')[1])
base = peak = tasks()
forks = failed = 0
print('ready', flush=True)
while not select.select([sys.stdin], [], [], 0)[0]:
    peak = max(peak, tasks())
    try:
        pid = os.fork()
    except OSError:
        failed += 1
        continue
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    forks += 1
print(pid_max, base, peak, forks, failed)
"""


@pytest.mark.skipif(bool(EMULATOR), reason="the neighbour would count the emulator's threads")
def test_a_start_that_cannot_fit_takes_no_ids_from_a_neighbour(run_child):
    # Without the check this start would take the machine's last ids for
    # seconds: only run it where the machine's own limits refuse it.
    if not system_refuses(MAX_WORKERS):
        pytest.skip(f"this machine could start {MAX_WORKERS} threads")
    neighbour = subprocess.Popen([sys.executable, "-c", NEIGHBOUR], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
    try:
        assert neighbour.stdout.readline() == "ready\n"
        for _ in range(3):
            proc = run_child(CALLS, env={"RAYON_NUM_THREADS": str(MAX_WORKERS)})
            assert outcome_lines(proc.stdout) == (
                ["PanicException " + IO_ERROR, "PanicException " + ALREADY], 0)
        out, _ = neighbour.communicate("stop\n", timeout=60)
    finally:
        neighbour.kill()
    pid_max, base, peak, forks, failed = map(int, out.split())
    assert forks > 0 and failed == 0
    # The neighbour's forks and the children come and go; a start that ran
    # would have taken thousands of ids.
    assert peak - base < 1000 and peak < pid_max // 2, (base, peak, pid_max)
