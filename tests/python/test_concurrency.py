"""Many Python threads on shared and private instances: no deadlock, exact
results where they are defined, and access conflicts only where defined."""
import math
import random
import threading
import time

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic

THREADS = 8
SECONDS = 3.0


class Yielding:
    """A target whose conversion lets other threads run in the middle of fit."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def build_shared():
    rng = random.Random(5)
    a = KestrixMatrix([rng.uniform(-2, 2) for _ in range(37 * 29)], 37, 29)
    b = KestrixMatrix([rng.uniform(-2, 2) for _ in range(29 * 11)], 29, 11)
    s = KestrixSolver(0.125, 3)
    s.fit(KestrixMatrix([1.0, -2.0, 0.5], 1, 3), [2.0])       # one sample: exact on any pool
    return a, b, s


def expected_results(a, b, s):
    probe = KestrixMatrix([0.25 * k for k in range(30)], 10, 3)
    ints = [float(k % 7 - 3) for k in range(501)]
    return {
        "matmul": a.matmul(b).to_list(),
        "add": a.add(0.3).to_list(),
        "mul": b.mul(-1.7).to_list(),
        "transpose": a.transpose().to_list(),
        "predict": s.predict(probe),
        "stress one": run_heavy_logic([0.75], 4),
        "stress ints": run_heavy_logic(ints, 0),
    }, probe, ints


def test_threads_share_instances_without_deadlock_or_drift():
    a, b, s = build_shared()
    expected, probe, ints = expected_results(a, b, s)
    train = KestrixMatrix([1.0, -2.0, 0.5], 1, 3)
    deadline = time.monotonic() + SECONDS
    failures, conflicts, calls = [], [], [0] * THREADS

    def worker(k):
        own = KestrixSolver(0.125, 3)
        rng = random.Random(k)
        ops = [  # (result, expected); the fits show their model through predict
            lambda: (a.matmul(b).to_list(), expected["matmul"]),
            lambda: (a.add(0.3).to_list(), expected["add"]),
            lambda: (b.mul(-1.7).to_list(), expected["mul"]),
            lambda: (a.transpose().to_list(), expected["transpose"]),
            lambda: (s.predict(probe), expected["predict"]),
            # Refitting the shared solver on the same sample keeps its model;
            # the conversion of y lets others in.
            lambda: (s.fit(train, [Yielding(2.0)]), None),
            lambda: (own.fit(train, [Yielding(2.0)]) or own.predict(probe), expected["predict"]),
            lambda: (run_heavy_logic([0.75], 4), expected["stress one"]),
            lambda: (run_heavy_logic(ints, 0), expected["stress ints"]),
        ]
        try:
            while time.monotonic() < deadline:
                op = rng.randrange(len(ops))
                try:
                    got, want = ops[op]()
                    assert got == want, op
                except RuntimeError as e:
                    # Only the shared solver can be busy, and only while a fit
                    # on it is converting its targets.
                    assert (op, str(e)) in ((4, "Already mutably borrowed"), (5, "Already borrowed"))
                    conflicts.append((op, str(e)))
                calls[k] += 1
        except BaseException as e:  # noqa: B902 - reported to the main thread
            failures.append((k, repr(e)))

    threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a thread is stuck: deadlock"
    assert failures == []
    assert all(c > 0 for c in calls)
    # With targets that yield, fits on the shared solver do overlap.
    assert conflicts
    assert s.predict(probe) == expected["predict"]


def test_concurrent_training_on_private_solvers_is_exact():
    # Small integers sum exactly in any grouping, so every thread's model is
    # the same whatever the pool did with its pieces.
    rows = 64
    x = [float((i * 7 + j) % 5 - 2) for i in range(rows) for j in range(3)]
    y = [float(i % 3) for i in range(rows)]
    design = KestrixMatrix(x, rows, 3)
    probe = KestrixMatrix([1.0, 1.0, 1.0], 1, 3)
    serial = KestrixSolver(0.5, 1)
    serial.fit(design, y)
    want = serial.predict(probe)
    results, stop = [], time.monotonic() + SECONDS / 2

    def worker():
        s = KestrixSolver(0.5, 1)
        while time.monotonic() < stop:
            s.fit(design, y)
            results.append(s.predict(probe))

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 60)
    assert not any(t.is_alive() for t in threads)
    assert results and all(r == want for r in results)
    assert not math.isnan(want[0])
