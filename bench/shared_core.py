"""Large products while another process takes half of one core.

A busy process pinned to the first processor stands in for a host that takes
time from one core: the scheduler then gives the kestrix worker on that
processor about half of it. Both sides run in this one process, taking turns
call by call, first with the machine as it is and then beside the busy
process; each row gives the range of per-round ratios (numpy time / kestrix
time). A split of the work fixed in advance leaves the faster core waiting
for the slowed one; work claimed as workers come free does not.

    python3 bench/shared_core.py [--build build] [--sizes 1024,2048] [--rounds 5]
"""
import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench_vs_numpy import machine, numpy_beside_kestrix  # noqa: E402
import record  # noqa: E402


def busy_neighbour():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"],
                            preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))


def ratios(np, KestrixMatrix, n, rounds):
    rng = np.random.default_rng(n)
    a = rng.uniform(-1, 1, (n, n)).astype(np.float32)
    b = rng.uniform(-1, 1, (n, n)).astype(np.float32)
    ka, kb = KestrixMatrix(a, n, n), KestrixMatrix(b, n, n)
    calls = [lambda: a @ b, lambda: ka.matmul(kb)]
    for f in calls:
        f()
    out = []
    for _ in range(rounds):
        t = []
        for f in calls:
            t0 = time.perf_counter()
            f()
            t.append(time.perf_counter() - t0)
        out.append((t[0] / t[1], 2.0 * n**3 / t[1] / 1e9, 2.0 * n**3 / t[0] / 1e9))
    return sorted(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--sizes", default="1024,2048")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    np, KestrixMatrix, _ = numpy_beside_kestrix(args.build)
    with record.run("shared_core", args.build):
        info = machine()
        print(f"{info['cpu']}, {info['cores']} cores; numpy {np.__version__}; {args.rounds} rounds\n")
        print("| product | neighbour | ratio | kestrix GFLOP/s | numpy GFLOP/s |")
        print("|---|---|---|---|---|")
        for n in (int(s) for s in args.sizes.split(",")):
            for label in ("none", "busy on one core"):
                neighbour = busy_neighbour() if label != "none" else None
                try:
                    r = ratios(np, KestrixMatrix, n, args.rounds)
                finally:
                    if neighbour:
                        neighbour.kill()
                        neighbour.wait()
                k = sorted(x[1] for x in r)
                p = sorted(x[2] for x in r)
                print(f"| {n}² | {label} | {r[0][0]:.2f}-{r[-1][0]:.2f} | {k[0]:.0f}-{k[-1]:.0f} "
                      f"| {p[0]:.0f}-{p[-1]:.0f} |", flush=True)


if __name__ == "__main__":
    main()
