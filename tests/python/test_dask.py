"""Dask arrays multiplied with kestrix per block, on a local cluster of two
worker processes and on threads: the same bits as the product at once, for
any chunking of rows and columns; matrices scattered to workers and back."""
import logging
import os

import numpy as np
import pytest

import kestrix
from conftest import SANITIZED
from kestrix import KestrixMatrix, KestrixSolver

# Under a sanitizer, Dask's import and its worker processes would be checked
# instead of the module (Dask keeps objects from its import until the process
# ends); the plain run covers them.
if SANITIZED:
    pytest.skip("Dask under a sanitizer runtime", allow_module_level=True)
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

# Debian's distributed still calls a tornado function that warns.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
        env={"RAYON_NUM_THREADS": "1"}, silence_logs=logging.ERROR)
    with cluster, distributed.Client(cluster) as c:
        yield c


def block_product(x, y):
    return np.asarray(kestrix.KestrixMatrix(x, *x.shape).matmul(
        kestrix.KestrixMatrix(y, *y.shape)))


def words(a):
    return np.ascontiguousarray(a, np.float32).view(np.uint32)


RNG = np.random.default_rng(11)
A = RNG.standard_normal((97, 64), np.float32)
B = RNG.standard_normal((64, 83), np.float32)
WHOLE = words(KestrixMatrix(A, 97, 64).matmul(KestrixMatrix(B, 64, 83)))


# Row chunks of A and column chunks of B: one block, even, uneven, single
# rows and columns.
CHUNKINGS = [(97, 83), (50, 42), ((10, 80, 7), (1, 81, 1)), (1, 83), (97, 1), (33, 17)]


def blockwise(rows, cols):
    dA = da.from_array(A, chunks=(rows, 64))
    dB = da.from_array(B, chunks=(64, cols))
    return da.blockwise(block_product, "ij", dA, "ik", dB, "kj", dtype=np.float32,
                        concatenate=True)


@pytest.mark.parametrize("rows, cols", CHUNKINGS)
@pytest.mark.parametrize("scheduler", ["threads", "synchronous"])
def test_blockwise_product_on_threads_is_the_whole_product(scheduler, rows, cols):
    got = blockwise(rows, cols).compute(scheduler=scheduler)
    assert got.shape == (97, 83) and np.array_equal(words(got), WHOLE)


@pytest.mark.parametrize("rows, cols", CHUNKINGS)
def test_blockwise_product_on_worker_processes_is_the_whole_product(client, rows, cols):
    got = client.compute(blockwise(rows, cols)).result()
    assert got.shape == (97, 83) and np.array_equal(words(got), WHOLE)


def test_each_worker_process_runs_one_thread_of_each_pool(client):
    def pool_threads():
        before = len(os.listdir("/proc/self/task"))
        m = kestrix.KestrixMatrix([1.0] * 4096, 64, 64)
        m.matmul(m)
        return os.environ["RAYON_NUM_THREADS"], len(os.listdir("/proc/self/task")) - before

    # At most the one worker of kestrix's pool starts; a pool started by an
    # earlier test already counts.
    assert all(env == "1" and new <= 1 for env, new in client.run(pool_threads).values())


def test_objects_scattered_to_workers_come_back_with_their_bits(client):
    s = KestrixSolver(0.1, 3)
    s.fit(KestrixMatrix(A[:3], 3, 64), [1.0, float("nan"), -0.0])
    sent = [KestrixMatrix(A, 97, 64), KestrixMatrix(B, 64, 83), KestrixMatrix([], 0, 5), s]
    futures = client.scatter(sent)
    product = client.submit(lambda x, y: x.matmul(y), futures[0], futures[1])
    back = client.gather(futures + [product])
    for a, b in zip(sent[:3], back[:3]):
        assert b.shape() == a.shape() and np.array_equal(words(b), words(a))
    assert back[3].__getstate__()["weights"].tobytes() == s.__getstate__()["weights"].tobytes()
    assert np.array_equal(words(back[4]), WHOLE)
