"""The two reductions (`fit`, `run_heavy_logic`) of this build against another
build of kestrix and against numpy's gradient step, in one run.

The parent starts one child per build and round, the builds taking turns
(the order flips every round). Each child times, calls interleaved:

- a `fit` step at (100, 4), (442, 10), (10^4, 16) and (10^6, 8): a tenth of
  the difference of an 11-step and a 1-step fit, which removes the per-call
  conversion of y; beside it numpy's step (x @ w + b - y, x.T @ e ...) on
  the same data, call by call;
- `run_heavy_logic` over 10^6 values at 10 iterations;
- how many distinct results twelve fits of KestrixSolver(0.01, 3) on
  20011 x 7 data and twelve sums over 10^5 values give.

With --shared, two children of the same build run at once on the same cores
(each with its own pool), as when another process takes a worker's core; the
figure is the slower child's. The run is recorded in bench/results/
(bench/record.py). Usage:
  bench/reductions_vs_base.py --build build --base /tmp/base/build [--rounds N]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

import record

CHILD = r"""
import json, random, sys, time
import numpy as np
import kestrix
from kestrix import KestrixMatrix, KestrixSolver

quick = sys.argv[1] == "shared"
rng = random.Random(1)
def values(n):
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]

def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0

out = {}
shapes = [(1_000_000, 8)] if quick else [(100, 4), (442, 10), (10_000, 16), (1_000_000, 8)]
for rows, cols in shapes:
    xs, ys = values(rows * cols), values(rows)
    x, y = KestrixMatrix(xs, rows, cols), ys
    xn = np.array(xs, dtype=np.float32).reshape(rows, cols)
    yn = np.array(ys, dtype=np.float32)
    lr, nf = np.float32(0.01), np.float32(rows)
    def np_step(w=np.zeros(cols, dtype=np.float32), b=np.float32(0.0)):
        e = xn @ w + b - yn
        return w - (xn.T @ e / nf) * lr, b - (e.sum() / nf) * lr
    one, many = KestrixSolver(0.01, 1), KestrixSolver(0.01, 11)
    runs = 7 if rows >= 1_000_000 else 3000 if rows * cols < 10_000 else 400
    t1, t11, tn = [], [], []
    for _ in range(runs):
        t1.append(timed(lambda: one.fit(x, y)))
        t11.append(timed(lambda: many.fit(x, y)))
        tn.append(timed(np_step))
    t1.sort(); t11.sort(); tn.sort()
    key = f"{rows}x{cols}"
    out[f"fit_step/{key}"] = {"best": (t11[0] - t1[0]) / 10,
                              "median": (t11[len(t11) // 2] - t1[len(t1) // 2]) / 10}
    out[f"numpy_step/{key}"] = {"best": tn[0], "median": tn[len(tn) // 2]}
data = values(1_000_000)
th = sorted(timed(lambda: kestrix.run_heavy_logic(data, 10)) for _ in range(3))
out["heavy/1000000x10"] = {"best": th[0], "median": th[1]}
if not quick:
    rows, cols = 20011, 7
    r2 = random.Random(33)
    x = KestrixMatrix([r2.uniform(-1, 1) for _ in range(rows * cols)], rows, cols)
    y = [r2.uniform(-1, 1) for _ in range(rows)]
    d = [r2.uniform(-1, 1) for _ in range(100_000)]
    seen = set()
    for _ in range(12):
        s = KestrixSolver(0.01, 3)
        s.fit(x, y)
        seen.add((tuple(s.predict(x)), kestrix.run_heavy_logic(d, 1)))
    out["distinct_of_12"] = len(seen)
print(json.dumps(out))
"""


def child(build, mode, workers):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["PYTHONPATH"] = str(build)
    if workers:
        env["RAYON_NUM_THREADS"] = str(workers)
    return subprocess.Popen([sys.executable, "-c", CHILD, mode], env=env, stdout=subprocess.PIPE,
                            text=True)


def run(build, mode, workers):
    if mode == "shared":
        procs = [child(build, mode, workers) for _ in range(2)]
        results = [json.loads(p.communicate()[0]) for p in procs]
        return {k: {"best": max(r[k]["best"] for r in results),
                    "median": max(r[k]["median"] for r in results)} for k in results[0]}
    return json.loads(child(build, mode, workers).communicate()[0])


def span(xs, scale, fmt="{:.2f}"):
    lo, hi = min(xs) * scale, max(xs) * scale
    return fmt.format(lo) if fmt.format(lo) == fmt.format(hi) else f"{fmt.format(lo)}-{fmt.format(hi)}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--base", required=True)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--workers", type=int, default=0)
    ap.add_argument("--shared", action="store_true")
    args = ap.parse_args()
    mode = "shared" if args.shared else "alone"
    sides = {"base": Path(args.base).resolve(), "this": Path(args.build).resolve()}
    got = {"base": [], "this": []}
    for r in range(args.rounds):
        for side in (["base", "this"] if r % 2 == 0 else ["this", "base"]):
            got[side].append(run(sides[side], mode, args.workers))
    with record.run("reductions_vs_base", args.build) as rec:
        info = {}
        for line in open("/proc/cpuinfo"):
            k, _, v = line.partition(":")
            info.setdefault(k.strip(), v.strip())
        cpu = (f"{info.get('model name', platform.processor())} family {info.get('cpu family')} "
               f"model {info.get('model')}")
        print(f"{cpu}, {os.cpu_count()} cpus, {mode}, {args.rounds} rounds, workers "
              f"{args.workers or 'default'}")
        print("| figure | base (best, µs) | this (best, µs) | this / base (best) | this / base (median) |"
              " numpy / this (best) |")
        print("|---|---|---|---|---|---|")
        for key in [k for k in got["this"][0] if not k.startswith(("numpy", "distinct"))]:
            b = [g[key]["best"] for g in got["base"]]
            t = [g[key]["best"] for g in got["this"]]
            bm = [g[key]["median"] for g in got["base"]]
            tm = [g[key]["median"] for g in got["this"]]
            ratio = [x / y for x, y in zip(t, b)]
            ratio_m = [x / y for x, y in zip(tm, bm)]
            npk = "numpy_step/" + key.split("/", 1)[1]
            vs_np = ""
            if key.startswith("fit_step") and npk in got["this"][0]:
                vs_np = span([g[npk]["best"] / g[key]["best"] for g in got["this"]], 1)
            print(f"| {key} | {span(b, 1e6, '{:.1f}')} | {span(t, 1e6, '{:.1f}')} | {span(ratio, 1)} |"
                  f" {span(ratio_m, 1)} | {vs_np} |")
        if "distinct_of_12" in got["this"][0]:
            print("distinct results of 12 fits+sums per child: base",
                  [g["distinct_of_12"] for g in got["base"]], "this",
                  [g["distinct_of_12"] for g in got["this"]])
        rec.data = got


if __name__ == "__main__":
    main()
