"""A 2000 x 2000 float32 product through Dask on a local cluster of two worker
processes (one thread each, for Dask and for each library's own pool), with
kestrix per block against kestrix alone in this process and against numpy
through Dask and alone; the bits of each chunked product are compared with
its library's whole product. Prints a markdown table and records the run
in bench/results/ (bench/record.py).
"""
import argparse
import logging
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import record  # noqa: E402
from interop_vs_numpy import ROOT, fmt, processor  # noqa: E402

SIDE = 2000
CHUNK = 500
ONE_THREAD = {"RAYON_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def block_product(x, y):
    import kestrix
    return np.asarray(kestrix.KestrixMatrix(x, *x.shape).matmul(
        kestrix.KestrixMatrix(y, *y.shape)))


def differing(a, b):
    return int(np.count_nonzero(a.view(np.uint32) != b.view(np.uint32)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build", help="build directory holding the module")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    module_dir = str((ROOT / args.build).resolve())
    sys.path.insert(0, module_dir)
    # Spawned workers find the module through the environment.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir,
                                                             os.environ.get("PYTHONPATH")]))
    import dask.array as da
    from distributed import Client, LocalCluster
    from kestrix import KestrixMatrix

    rng = np.random.default_rng(2000)
    a = rng.uniform(0, 1, (SIDE, SIDE)).astype(np.float32)
    b = rng.uniform(0, 1, (SIDE, SIDE)).astype(np.float32)
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None, env=ONE_THREAD, silence_logs=logging.ERROR)
    client = Client(cluster)
    # kestrix: row blocks times column blocks, the inner dimension whole;
    # numpy: Dask's own chunked matmul, which splits the inner dimension too.
    da_a, da_b = client.persist(da.from_array(a, chunks=CHUNK)), \
        client.persist(da.from_array(b, chunks=CHUNK))
    kx_a = client.persist(da.from_array(a, chunks=(CHUNK, SIDE)))
    kx_b = client.persist(da.from_array(b, chunks=(SIDE, CHUNK)))
    blockwise = da.blockwise(block_product, "ij", kx_a, "ik", kx_b, "kj", dtype=np.float32,
                             concatenate=True)
    rows = {
        "kestrix alone, this process": lambda: np.asarray(
            KestrixMatrix(a, SIDE, SIDE).matmul(KestrixMatrix(b, SIDE, SIDE))),
        "kestrix per block, 2-process cluster": lambda: client.compute(blockwise).result(),
        "numpy alone, this process": lambda: a @ b,
        "numpy through Dask, 2-process cluster": lambda: client.compute(da_a @ da_b).result(),
    }
    times, results = {name: [] for name in rows}, {}
    for name, fn in rows.items():
        results[name] = fn()  # warm up; kept for the bits
    for _ in range(args.rounds):
        for name, fn in rows.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    client.close()
    cluster.close()

    names = list(rows)
    whole = {"kestrix": results[names[0]], "numpy": results[names[2]]}
    with record.run("dask_vs_numpy", ROOT / args.build) as rec:
        print(f"Processor: {processor()}; load average {os.getloadavg()[0]:.2f} at start")
        print(f"numpy {np.__version__}, Python {platform.python_version()}, {args.rounds} "
              f"interleaved rounds; {SIDE} x {SIDE} uniform [0, 1) float32 operands, "
              f"{CHUNK}-wide chunks\n")
        print("| product | best | vs kestrix alone | elements differing from the library's "
              "whole product | largest difference |")
        print("|---|---|---|---|---|")
        report = {"processor": processor(), "numpy": np.__version__, "rows": {}}
        for name in names:
            lib = name.split()[0]
            got = results[name]
            diff = differing(got, whole[lib])
            largest = float(np.max(np.abs(got - whole[lib])))
            ratio = min(times[name]) / min(times[names[0]])
            print(f"| {name} | {fmt(min(times[name]))} | {ratio:.2f} | {diff} | {largest:.3g} |")
            report["rows"][name] = {"best_s": min(times[name]), "ratio_to_kestrix_alone": ratio,
                                    "differing_elements": diff, "largest_difference": largest}
        rec.data = report


if __name__ == "__main__":
    main()
