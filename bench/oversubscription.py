"""kestrix when its threads outnumber the cores, as ratios in one run.

Every figure is a ratio against the default pool (one worker per available
processor) measured in the same run, the two taking turns round by round:

- pools of 1, 8 and 32 workers per core (RAYON_NUM_THREADS, child processes);
- two processes at once, each with its default pool, against one alone;
- one process that also uses numpy: each kestrix call right after a numpy
  product (whose OpenBLAS threads spin for a while after it returns) against
  the same call right after another kestrix call, interleaved call by call;
- the first call of very large pools (time to start), with --large.

Each child times `add` on 256 x 256 and `matmul` on 64 x 64, interleaved call
by call, and reports medians. Usage: bench/oversubscription.py [--build DIR]
[--rounds N] [--large].
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import record

ROOT = Path(__file__).resolve().parents[1]
POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")

CHILD = r"""
import json, os, random, statistics, sys, time
import kestrix
from kestrix import KestrixMatrix

mode, seconds = sys.argv[1], float(sys.argv[2])
rng = random.Random(1)
a = KestrixMatrix([rng.uniform(-1, 1) for _ in range(256 * 256)], 256, 256)
m = KestrixMatrix([rng.uniform(-1, 1) for _ in range(64 * 64)], 64, 64)
t0 = time.perf_counter()
a.add(1.5)
first = time.perf_counter() - t0
ops = {"add": lambda: a.add(1.5), "matmul": lambda: m.matmul(m)}
if mode == "first":
    t0 = time.perf_counter()
    for _ in range(20):
        a.add(1.5)
    print(json.dumps({"first": first, "later": (time.perf_counter() - t0) / 20}))
    sys.exit(0)

if mode == "numpy":
    import numpy as np
    x = np.random.default_rng(2).random((256, 256), dtype=np.float32)
    peer = lambda: x @ x
else:
    peer = None
for _ in range(200):  # warm: the pool's threads, caches, the caller's wait mode
    for op in ops.values():
        op()
if mode == "together":
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()  # both processes start timing at once

times = {name: [] for name in ops}
after_peer = {name: [] for name in ops}
clock = time.perf_counter
end = clock() + seconds
while clock() < end:
    for name, op in ops.items():
        op()  # the call before: the same operation, so "alone" is a warm call
        t0 = clock()
        op()
        times[name].append(clock() - t0)
        if peer is not None:
            peer()
            t0 = clock()
            op()
            after_peer[name].append(clock() - t0)
out = {name: statistics.median(v) for name, v in times.items()}
if peer is not None:
    out.update({name + "_after_numpy": statistics.median(v) for name, v in after_peer.items()})
print(json.dumps(out))
"""


def child_env(build, workers=None):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    env["PYTHONPATH"] = str(build)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    return env


def run_child(build, mode, seconds, workers=None, timeout=600):
    proc = subprocess.run([sys.executable, "-c", CHILD, mode, str(seconds)],
                          env=child_env(build, workers), capture_output=True, text=True,
                          timeout=timeout, check=True)
    return json.loads(proc.stdout)


def run_two_at_once(build, seconds):
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, "together", str(seconds)],
                              env=child_env(build), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(2)]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    outs = [json.loads(p.communicate(timeout=600)[0]) for p in procs]
    return outs


def median_of(rows, key):
    return statistics.median(r[key] for r in rows)


def processor():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    fam = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("cpu family")), "?")
    mod = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model\t")), "?")
    return f"{model} (family {fam}, model {mod}), {len(os.sched_getaffinity(0))} processors"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=1.5, help="timing per child")
    parser.add_argument("--large", action="store_true",
                        help="also time the first call of pools of 4096 and 65535 workers")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    cores = len(os.sched_getaffinity(0))
    print(f"processor: {processor()}")
    print(f"(other processes on the machine share its cores; repeat a run before believing it)")

    counts = [None, 8 * cores, 32 * cores]
    pools = {c: [] for c in counts}
    alone, together, numpy_rows = [], [], []
    for r in range(args.rounds):
        for c in counts:
            pools[c].append(run_child(build, "alone", args.seconds, c))
        alone.append(run_child(build, "alone", args.seconds))
        together.extend(run_two_at_once(build, args.seconds))
        numpy_rows.append(run_child(build, "numpy", args.seconds))
        print(f"  round {r + 1} of {args.rounds} done", flush=True)

    with record.run("oversubscription", args.build):
        print(f"{cores} cores; {args.rounds} rounds of {args.seconds} s a child")
        base = pools[None]
        print("\n| situation | add 256² | matmul 64² |")
        print("|---|---|---|")
        row = "| {} | {:.1f} µs ({:.2f}×) | {:.1f} µs ({:.2f}×) |"
        for c in counts:
            label = f"{cores} workers (default)" if c is None else f"{c} workers ({c // cores} × cores)"
            print(row.format(label, *[v for op in ("add", "matmul") for v in (
                median_of(pools[c], op) * 1e6, median_of(pools[c], op) / median_of(base, op))]))
        print(row.format("two processes at once, each against one alone", *[
            v for op in ("add", "matmul") for v in (
                median_of(together, op) * 1e6, median_of(together, op) / median_of(alone, op))]))
        print(row.format("right after a numpy 256² product, against the same call alone", *[
            v for op in ("add", "matmul") for v in (
                median_of(numpy_rows, op + "_after_numpy") * 1e6,
                median_of(numpy_rows, op + "_after_numpy") / median_of(numpy_rows, op))]))

        if args.large:
            print("\n| workers | first call | later calls |")
            print("|---|---|---|")
            for w in (4096, 65535):
                t0 = time.perf_counter()
                try:
                    out = run_child(build, "first", 0, w)
                    print(f"| {w} | {out['first']:.2f} s | {out['later'] * 1e6:.0f} µs |")
                except subprocess.CalledProcessError as e:
                    last = (e.stderr or "").strip().splitlines()[-1:] or ["?"]
                    print(f"| {w} | failed after {time.perf_counter() - t0:.1f} s: {last[0]} | |")


if __name__ == "__main__":
    main()
