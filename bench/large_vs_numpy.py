"""Large square products, kestrix beside numpy: time and memory.

Time: both sides in one process, taking turns call by call on operands built
before timing; each row gives the range of the per-round ratios (numpy time /
kestrix time), kestrix's GFLOP/s and its share of the exact float32 peak
(separate multiply and add, from build/bench/machine_bench in the same run).

Memory: one child process per side and size, so that the high-water mark is
that side's alone. With the operands built, the child resets the mark
(/proc/self/clear_refs), runs one product and reports the peak resident set
beyond its operands and result; it runs the product again, frees every
result and reports what the process still holds beyond what it held before
its first product.

    python3 bench/large_vs_numpy.py [--build build] [--sizes 2048,4096,8192]
        [--rounds 3]

The run is recorded in bench/results/ (bench/record.py).
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench_vs_numpy import machine, machine_limits, numpy_beside_kestrix  # noqa: E402
import record  # noqa: E402

MIB = 1 << 20


def status_kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def operands(np, n):
    rng = np.random.default_rng(n)
    return (rng.uniform(-1, 1, (n, n)).astype(np.float32),
            rng.uniform(-1, 1, (n, n)).astype(np.float32))


def memory_child(side, n):
    """Prints {peak_extra, kept} in MiB for one side and size."""
    import numpy as np
    a, b = operands(np, n)
    if side == "kestrix":
        from kestrix import KestrixMatrix
        a, b = KestrixMatrix(a, n, n), KestrixMatrix(b, n, n)
        product = a.matmul
    else:
        product = a.__matmul__
    gc.collect()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident set
    c = product(b)
    peak = status_kib("VmHWM")
    result = 4 * n * n / 1024
    del c
    c = product(b)
    del c
    gc.collect()
    kept = status_kib("VmRSS") - before
    print(json.dumps({"peak_extra": (peak - before - result) / 1024, "kept": kept / 1024}))


def memory(build, side, n, env):
    cmd = [sys.executable, __file__, "--memory-child", side, str(n)]
    child_env = dict(env if side == "numpy" else os.environ, PYTHONPATH=str(build))
    out = subprocess.run(cmd, env=child_env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def timing(np, KestrixMatrix, n, rounds):
    a, b = operands(np, n)
    ka, kb = KestrixMatrix(a, n, n), KestrixMatrix(b, n, n)
    calls = [lambda: a @ b, lambda: ka.matmul(kb)]
    for f in calls:
        f()
    times = [[], []]
    for _ in range(rounds):
        for i, f in enumerate(calls):
            t0 = time.perf_counter()
            f()
            times[i].append(time.perf_counter() - t0)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--sizes", default="2048,4096,8192")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--memory-child", nargs=2, metavar=("SIDE", "N"))
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    head_of_run = record.header("large_vs_numpy", args.build)
    np, KestrixMatrix, env = numpy_beside_kestrix(args.build)
    peak = machine_limits(args.build).get("peak_gflops")
    rows = []
    for n in (int(s) for s in args.sizes.split(",")):
        t_np, t_k = timing(np, KestrixMatrix, n, args.rounds)
        ratios = sorted(x / y for x, y in zip(t_np, t_k))
        gflops = sorted(2.0 * n**3 / t / 1e9 for t in t_k)
        mem = {side: memory(args.build, side, n, env) for side in ("kestrix", "numpy")}
        rows.append((n, ratios, gflops, mem))
        print(f"  {n}: ratio {ratios[0]:.2f}-{ratios[-1]:.2f}", file=sys.stderr, flush=True)
    info = machine()
    head = (f"{info['cpu']}, {info['cores']} cores, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} "
            f"UTC; numpy {np.__version__}; exact float32 peak "
            + (f"{peak:.0f} GFLOP/s" if peak else "not measured") + f"; {args.rounds} rounds")
    out = [head, "", "| product | ratio | kestrix GFLOP/s | share of exact peak | peak beyond "
           "operands and result, kestrix / numpy | kept after every result is freed, "
           "kestrix / numpy |", "|---|---|---|---|---|---|"]
    for n, ratios, gflops, mem in rows:
        share = (f"{gflops[0] / peak:.0%}-{gflops[-1] / peak:.0%}" if peak else "")
        k, p = mem["kestrix"], mem["numpy"]
        out.append(f"| {n}² | {ratios[0]:.2f}-{ratios[-1]:.2f} | {gflops[0]:.0f}-{gflops[-1]:.0f} "
                   f"| {share} | {k['peak_extra']:.0f} / {p['peak_extra']:.0f} MiB "
                   f"| {k['kept']:.0f} / {p['kept']:.0f} MiB |")
    text = "\n".join(out) + "\n"
    print(text)
    record.write(head_of_run, text, {"peak_gflops": peak, "rows": [
        {"n": n, "ratios": r, "gflops": g, "memory_mib": m} for n, r, g, m in rows]})


if __name__ == "__main__":
    main()
