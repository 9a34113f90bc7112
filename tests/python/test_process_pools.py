"""Matrices and solvers sent to worker processes and back, with the fork and
the spawn start methods: the same bits on both sides."""
import multiprocessing
import textwrap
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import pool_tasks
from conftest import FORK_WITH_THREADS
from kestrix import KestrixMatrix, KestrixSolver
from reference import bits

HERE = Path(__file__).parent
METHODS = [pytest.param("fork", marks=FORK_WITH_THREADS), "spawn"]
SPECIAL = np.array([0x7FC00001, 0xFFC12345, 0x80000000, 0x00000001, 0x7F800000, 0x3F800000],
                   np.uint32).view(np.float32)


def words(m):
    return [bits(v) for v in m.to_list()]


def state_bits(s):
    st = s.__getstate__()
    return st["weights"].tobytes(), bits(st["bias"]), bits(st["lr"]), st["iters"]


@pytest.fixture(scope="module", params=METHODS)
def executor(request):
    context = multiprocessing.get_context(request.param)
    with ProcessPoolExecutor(2, mp_context=context, initializer=pool_tasks.use_threads,
                             initargs=(1,)) as ex:
        yield ex


def test_objects_come_back_with_the_same_bits(executor):
    trained = KestrixSolver(0.05, 3)
    trained.fit(KestrixMatrix([1.0, 2.0, -1.0, 0.5], 2, 2), [1.0, -2.0])
    sent = (KestrixMatrix(SPECIAL, 2, 3), KestrixMatrix([], 0, 3), KestrixMatrix([], 2**40, 0),
            trained, KestrixSolver(0.25, 9))
    back = executor.submit(pool_tasks.echo, *sent).result(timeout=60)
    assert [type(o) for o in back] == [type(o) for o in sent]
    for a, b in zip(sent[:3], back[:3]):
        assert b.shape() == a.shape() and words(b) == words(a)
    for a, b in zip(sent[3:], back[3:]):
        assert state_bits(b) == state_bits(a)


def test_work_done_in_a_worker_is_the_work_done_here(executor):
    rng = np.random.default_rng(5)
    m = KestrixMatrix(rng.standard_normal((67, 45), np.float32), 67, 45)
    # Up to 3 rows, training gives the same bits on a pool of any size; a
    # forked worker's pool has the size of this process's one.
    x = KestrixMatrix(rng.standard_normal((3, 7), np.float32), 3, 7)
    y = rng.standard_normal(3).tolist()
    local = KestrixSolver(0.01, 20)
    futures = [executor.submit(pool_tasks.train_and_multiply, m, KestrixSolver(0.01, 20), x, y)
               for _ in range(3)]
    product, solver, predictions = pool_tasks.train_and_multiply(m, local, x, y)
    for f in futures:
        p, s, pred = f.result(timeout=60)
        assert words(p) == words(product) and state_bits(s) == state_bits(solver)
        assert [bits(v) for v in pred] == [bits(v) for v in predictions]


POOL_SIZE = textwrap.dedent("""
    import multiprocessing, sys
    sys.path.insert(0, sys.argv[1])
    from concurrent.futures import ProcessPoolExecutor
    import pool_tasks
    if __name__ == "__main__":
        pool_tasks.threads_after_work()    # this process's own pool: 3 workers
        for method in ("spawn", "fork"):
            context = multiprocessing.get_context(method)
            with ProcessPoolExecutor(2, mp_context=context, initializer=pool_tasks.use_threads,
                                     initargs=(1,)) as ex:
                print(method, sorted(set(ex.map(pool_tasks.threads_after_work, range(4)))))
""")


@FORK_WITH_THREADS
def test_a_worker_pool_sized_by_the_environment(run_child, tmp_path):
    # spawn runs the main module again in each worker, so it must be a file.
    script = tmp_path / "pool_size.py"
    script.write_text(POOL_SIZE)
    out = run_child(f"import runpy, sys; sys.argv = [{str(script)!r}, {str(HERE)!r}]; "
                    f"runpy.run_path(sys.argv[0], run_name='__main__')",
                    env={"RAYON_NUM_THREADS": "3"})
    # A spawned worker starts its pool from its own environment: one thread
    # besides its main thread. A forked one inherits the size of a pool its
    # parent already made, which is why the README recommends spawn.
    assert out.stdout.splitlines() == ["spawn [2]", "fork [4]"]
