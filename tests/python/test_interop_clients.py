"""The clients Python users already work with, used as users write code for
them: a script whose functions live in __main__ and that imports the names
from kestrix. Each runs in a fresh interpreter of its own."""
import textwrap

import pytest

from conftest import SANITIZED

# Worker processes of these clients would carry a sanitizer runtime into
# their own imports; the plain run covers them.
pytestmark = pytest.mark.skipif(SANITIZED, reason="client worker processes under a sanitizer")


def run_script(run_child, tmp_path, body):
    """Runs body as the main script of a file, as `python3 script.py` would."""
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(body))
    code = f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')"
    return run_child(code, env={"RAYON_NUM_THREADS": "1"}).stdout.splitlines()


JOBLIB = """
    import joblib
    from joblib import Parallel, delayed
    from kestrix import KestrixMatrix, KestrixSolver

    def build(i):
        m = KestrixMatrix([float(i), 1.0, 2.0, 3.0], 2, 2)
        return m.matmul(m.transpose())

    if __name__ == "__main__":
        for backend in ("loky", "multiprocessing", "threading"):
            out = Parallel(n_jobs=2, backend=backend)(delayed(build)(i) for i in range(4))
            print(backend, [m.to_list()[0] for m in out])
        out = Parallel(n_jobs=2)(delayed(KestrixMatrix.transpose)(m)
                                 for m in [KestrixMatrix([1.0, 2.0], 1, 2)] * 2)
        print("method", [m.shape() for m in out])
        s = KestrixSolver(0.25, 100)
        x = KestrixMatrix([0.0, 1.0, 2.0, 3.0], 4, 1)
        s.fit(x, [1.0, 3.0, 5.0, 7.0])
        joblib.dump(s, "model.joblib")
        back = joblib.load("model.joblib")
        print("dump", back.predict(x) == s.predict(x), repr(back))
"""


def test_joblib_backends_and_dump(run_child, tmp_path, monkeypatch):
    pytest.importorskip("joblib")
    monkeypatch.chdir(tmp_path)
    squares = [0.0 * 0.0 + 1.0, 2.0, 5.0, 10.0]
    assert run_script(run_child, tmp_path, JOBLIB) == [
        f"{backend} {squares}" for backend in ("loky", "multiprocessing", "threading")] + [
        "method [(2, 1), (2, 1)]",
        "dump True <kestrix.KestrixSolver lr=0.25 iters=100 trained>"]


DASK = """
    import logging
    import numpy as np
    from dask.base import tokenize
    from dask.sizeof import sizeof
    from distributed import Client, LocalCluster
    from kestrix import KestrixMatrix

    def product(a, b):
        return KestrixMatrix(a, *a.shape).matmul(KestrixMatrix(b, *b.shape))

    if __name__ == "__main__":
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=logging.ERROR) as cluster, \\
                Client(cluster) as client:
            m = client.submit(KestrixMatrix, [1.0, 2.0, 3.0, 4.0], 2, 2).result()
            print("submit", m.to_list())
            a = np.arange(6, dtype=np.float32).reshape(2, 3)
            print("function", product(a, a.T).to_list() == client.submit(product, a, a.T).result().to_list())
            print("map", [t.shape() for t in client.gather(client.map(KestrixMatrix.transpose, [m, m.add(1.0)]))])
            [f] = client.scatter([KestrixMatrix([0.5] * 60000, 200, 300)])
            print("scatter", client.submit(lambda x: x.shape(), f).result())
            big = f.result()
            print("sizeof", sizeof(big) >= 240000, tokenize(big) == tokenize(KestrixMatrix([0.5] * 60000, 200, 300)))
"""


@pytest.mark.filterwarnings("ignore")
def test_dask_local_cluster_of_processes(run_child, tmp_path):
    pytest.importorskip("distributed")
    assert run_script(run_child, tmp_path, DASK) == [
        "submit [1.0, 2.0, 3.0, 4.0]", "function True", "map [(2, 2), (2, 2)]",
        "scatter (200, 300)", "sizeof True True"]


MULTIPROCESSING = """
    import multiprocessing, pickle
    from kestrix import KestrixMatrix

    if __name__ == "__main__":
        print("class", pickle.loads(pickle.dumps(KestrixMatrix)) is KestrixMatrix)
        with multiprocessing.get_context("spawn").Pool(2) as pool:
            ms = pool.starmap(KestrixMatrix, [([1.0, 2.0], 1, 2), ([3.0, 4.0, 5.0], 3, 1)])
            print("starmap", [m.to_list() for m in ms])
            print("method", [m.shape() for m in pool.map(KestrixMatrix.transpose, ms)])
"""


def test_multiprocessing_spawn_pool(run_child, tmp_path):
    assert run_script(run_child, tmp_path, MULTIPROCESSING) == [
        "class True", "starmap [[1.0, 2.0], [3.0, 4.0, 5.0]]", "method [(2, 1), (1, 3)]"]


TORCH = """
    import torch
    from kestrix import KestrixMatrix, KestrixSolver

    t = torch.arange(6, dtype=torch.float64).reshape(2, 3)
    m = KestrixMatrix(t.T, 3, 2)
    print("in", m.to_list())
    out = torch.from_dlpack(m)
    out.mul_(10)
    print("out", out.flatten().tolist(), m.to_list())
    s = KestrixSolver(0.25, 100)
    s.fit(KestrixMatrix(torch.arange(4.0), 4, 1), torch.tensor([1, 3, 5, 7]))
    print("fit", [round(v) for v in s.predict(KestrixMatrix([4.0], 1, 1))])
"""


def test_torch_in_and_out(run_child, tmp_path):
    pytest.importorskip("torch")
    assert run_script(run_child, tmp_path, TORCH) == [
        "in [0.0, 3.0, 1.0, 4.0, 2.0, 5.0]",
        "out [0.0, 30.0, 10.0, 40.0, 20.0, 50.0] [0.0, 3.0, 1.0, 4.0, 2.0, 5.0]",
        "fit [9]"]
