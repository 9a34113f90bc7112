"""Data in and out of kestrix from numpy, side by side with numpy's own calls.

Every row times a kestrix call and its numpy peer call by call, interleaved in
one process, so that both meet the same machine state; the ratio is taken of
the best times and, as a check on the noise, of the medians. Inputs are numpy
arrays, as users hold them. Prints a markdown table naming the processor and
records the run in bench/results/ (bench/record.py).
"""
import argparse
import array
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import record

ROOT = Path(__file__).resolve().parents[1]
N = 1_000_000
SIDE = 1000


def processor():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or "unknown processor"
    fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
    get = lambda k: fields.get(k, "?").strip()  # noqa: E731
    return (f"{get('Model name')} (family {get('CPU family')} model {get('Model')}), "
            f"{os.cpu_count()} logical CPUs")


def interleaved(rows, rounds):
    """{name: (kestrix times, peer times)}, the two calls of a row taking
    turns call by call. A row's rounds run back to back, so that a call of
    microseconds is not timed in the caches that the copy of megabytes
    before it has just emptied."""
    times = {}
    for name, (mine, peer) in rows.items():
        mine(), peer()  # warm up: first touches, the pool's start
        times[name] = ([], [])
        for _ in range(rounds):
            for fn, out in ((mine, times[name][0]), (peer, times[name][1])):
                t0 = time.perf_counter()
                fn()
                out.append(time.perf_counter() - t0)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build", help="build directory holding the module")
    parser.add_argument("--rounds", type=int, default=30)
    args = parser.parse_args()
    sys.path.insert(0, str((ROOT / args.build).resolve()))
    from kestrix import KestrixMatrix

    rng = np.random.default_rng(11)
    f32 = rng.uniform(-1, 1, N).astype(np.float32)
    f64 = f32.astype(np.float64)
    square = f32.reshape(SIDE, SIDE)
    floats = array.array("f", f32.tobytes())
    left = rng.uniform(-1, 1, (SIDE, SIDE)).astype(np.float32)
    right = rng.uniform(-1, 1, (SIDE, SIDE)).astype(np.float32)
    kl, kr = KestrixMatrix(left, SIDE, SIDE), KestrixMatrix(right, SIDE, SIDE)
    big, small, empty = KestrixMatrix(f32, SIDE, SIDE), KestrixMatrix([1.0], 1, 1), \
        KestrixMatrix([], 0, SIDE)

    # name: (kestrix call, its peer, what the peer is, goal ratio or None)
    rows = {
        "10^6 float32 array in": (lambda: KestrixMatrix(f32, N, 1), f32.copy, "a.copy()", 4.0),
        "10^6 float32 array.array in": (lambda: KestrixMatrix(floats, N, 1), f32.copy,
                                        "a.copy()", 4.0),
        "10^6 float32 memoryview in": (lambda: KestrixMatrix(memoryview(floats), N, 1),
                                       f32.copy, "a.copy()", None),
        "10^6 float64 array in": (lambda: KestrixMatrix(f64, N, 1),
                                  lambda: f64.astype(np.float32), "a.astype(float32)", None),
        "1000^2 float32 transposed in": (lambda: KestrixMatrix(square.T, SIDE, SIDE),
                                         square.T.copy, "a.T.copy()", None),
        "numpy.asarray(m), 1000^2": (lambda: np.asarray(big), lambda: np.asarray(f32),
                                     "np.asarray(ndarray)", None),
        "numpy.asarray(m), 1x1": (lambda: np.asarray(small), lambda: np.asarray(f32),
                                  "np.asarray(ndarray)", None),
        "numpy.asarray(m), 0x1000": (lambda: np.asarray(empty), lambda: np.asarray(f32),
                                     "np.asarray(ndarray)", None),
        "numpy.from_dlpack(m), 1000^2": (lambda: np.from_dlpack(big), lambda: np.asarray(f32),
                                         "np.asarray(ndarray)", None),
        "numpy in, matmul 1000^2, numpy out": (
            lambda: np.asarray(KestrixMatrix(left, SIDE, SIDE).matmul(
                KestrixMatrix(right, SIDE, SIDE))),
            lambda: kl.matmul(kr), "the product alone", 1.3),
        "matmul 1000^2 alone, for scale": (lambda: kl.matmul(kr), lambda: left @ right,
                                           "numpy a @ b", None),
    }
    times = interleaved({k: v[:2] for k, v in rows.items()}, args.rounds)

    with record.run("interop_vs_numpy", ROOT / args.build) as rec:
        print(f"Processor: {processor()}; load average {os.getloadavg()[0]:.2f} at start")
        print(f"numpy {np.__version__}, Python {platform.python_version()}, "
              f"{args.rounds} interleaved rounds\n")
        print("| row | kestrix best | peer | peer best | ratio (best) | ratio (median) | goal |")
        print("|---|---|---|---|---|---|---|")
        report = {"processor": processor(), "numpy": np.__version__, "rows": {}}
        for name, (_, _, peer_name, goal) in rows.items():
            mine, peer = times[name]
            best = min(mine) / min(peer)
            median = statistics.median(mine) / statistics.median(peer)
            verdict = "" if goal is None else (f"<= {goal}x: " + ("met" if best <= goal else "NOT met"))
            if name.startswith("numpy.asarray"):
                verdict = "< 20 us: " + ("met" if min(mine) < 20e-6 else "NOT met")
            print(f"| {name} | {fmt(min(mine))} | {peer_name} | {fmt(min(peer))} | {best:.2f} "
                  f"| {median:.2f} | {verdict} |")
            report["rows"][name] = {"kestrix_best_s": min(mine), "peer": peer_name,
                                    "peer_best_s": min(peer), "ratio_best": best,
                                    "ratio_median": median, "goal": verdict}
        rec.data = report


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e3:.3f} ms"


if __name__ == "__main__":
    main()
