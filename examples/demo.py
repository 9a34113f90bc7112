"""A short tour of kestrix: matrices, a linear regression, the stress kernel,
a round trip through numpy, and what sets kestrix apart: the same bits on any
number of threads and any split of the work."""
import importlib
import os
import random
import subprocess
import sys
import time
from typing import Any, Callable, TypeVar

import numpy as np

from kestrix import KestrixMatrix, KestrixSolver, run_heavy_logic


T = TypeVar("T")


def timed(label: str, fn: Callable[[], T]) -> T:
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<38} {1e3 * (time.perf_counter() - start):8.2f} ms")
    return result


print("Matrices: dense, row-major float32, immutable")
a = KestrixMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
b = KestrixMatrix([5.0, 6.0, 7.0, 8.0], 2, 2)
print("  a.shape()           ", a.shape())
print("  a.matmul(b)         ", a.matmul(b).to_list())
print("  a.add(0.1)          ", a.add(0.1).to_list(), "(float32 rounding)")
print("  a.mul(-1.0)         ", a.mul(-1.0).to_list())
print("  a.transpose()       ", a.transpose().to_list())

n = 1024
rng = random.Random(7)
values = [rng.uniform(-1.0, 1.0) for _ in range(n * n)]
big = timed(f"build a {n}x{n} matrix from a list", lambda: KestrixMatrix(values, n, n))
product = timed(f"matmul {n}x{n} by {n}x{n}", lambda: big.matmul(big))
timed(f"transpose {n}x{n}", big.transpose)
print("  product[0][0] =", product.to_list()[0])

print("\nLinear regression by full-batch gradient descent")
samples, true_w, true_b = 20_000, [2.0, -3.0, 0.5], 1.25
rows = [[rng.uniform(-1.0, 1.0) for _ in true_w] for _ in range(samples)]
targets = [sum(w * x for w, x in zip(true_w, row)) + true_b for row in rows]
X = KestrixMatrix([x for row in rows for x in row], samples, len(true_w))
solver = KestrixSolver(lr=0.5, iters=300)
timed(f"fit {samples} samples, 300 steps", lambda: solver.fit(X, targets))
probe = KestrixMatrix([1.0, 1.0, 1.0, 0.0, 0.0, 0.0], 2, 3)
print("  predict([1,1,1], [0,0,0]) =", solver.predict(probe),
      f"(exact: {sum(true_w) + true_b}, {true_b})")

print("\nStress kernel: sin, cos, tan, abs per element, summed")
data = [i / 1000.0 for i in range(200_000)]
total = timed("run_heavy_logic 200000 elements x 10", lambda: run_heavy_logic(data, 10))
print("  sum =", total)
print("  run_heavy_logic([], 5) =", run_heavy_logic([], 5), "(sums start at -0.0)")

print("\nWith numpy: arrays read from memory, results handed back as views")
array_in = np.array(values, dtype=np.float32).reshape(n, n)
m = timed(f"build a {n}x{n} matrix from a float32 array", lambda: KestrixMatrix(array_in, n, n))
out = timed("matmul, then numpy.asarray of the product", lambda: np.asarray(m.matmul(m)))
print("  the product as numpy sees it:", out.dtype, out.shape, "writeable:", out.flags.writeable)
print("  the same bits as the product of the list:", np.array_equal(out, np.asarray(product)))
print("  numpy.asarray shares the same memory, read-only:",
      np.shares_memory(np.asarray(m), np.asarray(m)), not np.asarray(m).flags.writeable)

print("\nWhat sets kestrix apart: the same bits, however the work is split")
# Each count of threads needs a process of its own: a pool's size is fixed
# when it starts. The children print a digest of a 1000 x 1000 product.
PRODUCT = """
import hashlib, numpy as np
a = np.random.default_rng(7).standard_normal((1000, 1000), dtype=np.float32)
if {kestrix}:
    from kestrix import KestrixMatrix
    c = np.asarray(KestrixMatrix(a, 1000, 1000).matmul(KestrixMatrix(a, 1000, 1000)))
else:
    c = a @ a
print(hashlib.sha256(c.tobytes()).hexdigest())
"""


def product_digest(use_kestrix: bool, threads: int) -> str:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads),
               OMP_NUM_THREADS=str(threads))
    code = PRODUCT.format(kestrix=use_kestrix)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True).stdout.strip()


for name, use_kestrix in (("kestrix", True), ("numpy", False)):
    one, two = product_digest(use_kestrix, 1), product_digest(use_kestrix, 2)
    verdict = "the same bits" if one == two else "different bits"
    print(f"  {name + ' 1000x1000 product':<30} at 1 and at 2 threads: {verdict}")

twice = [KestrixSolver(lr=0.5, iters=300) for _ in range(2)]
for s in twice:
    s.fit(X, targets)
weights = [s.__getstate__()["weights"].tobytes() for s in twice]
print("  the same model trained twice:      ",
      "the same weights" if weights[0] == weights[1] else "different weights")

try:
    da: Any = importlib.import_module("dask.array")
except ImportError:
    print("  blockwise product: skipped, Dask is not installed")
else:
    def block_product(x: Any, y: Any) -> Any:
        return np.asarray(KestrixMatrix(x, *x.shape).matmul(KestrixMatrix(y, *y.shape)))

    blocks = da.blockwise(block_product, "ij", da.from_array(array_in, chunks=(300, n)), "ik",
                          da.from_array(array_in, chunks=(n, 250)), "kj", dtype=np.float32,
                          concatenate=True).compute(scheduler="threads")
    whole = np.asarray(m.matmul(m))
    print("  blockwise product with Dask:       ",
          "the whole product's bits" if np.array_equal(blocks.view(np.uint32), whole.view(np.uint32))
          else "different bits")
