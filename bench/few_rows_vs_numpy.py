"""Few-row products against a right operand larger than the last-level
cache, kestrix beside numpy (float32 `a @ b`), and `add`/`mul` 1024²
alternated call by call with numpy's same operation.

Both sides run in this one process, their calls taking turns on inputs built
before timing. Per shape: the best and median wall time of each side, the
ratio (numpy time / kestrix time), the rate at which kestrix reads the right
operand and that rate as a share of machine_bench's read-only sum, measured
in the same run; and the processor time per call summed over every thread
(getrusage), which a neighbour's time slices do not inflate.

    python3 bench/few_rows_vs_numpy.py [--build build] [--quick] [--out FILE]
"""
import argparse
import os
import resource
import statistics
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench_vs_numpy import google_benchmark, machine, numpy_beside_kestrix  # noqa: E402
import record  # noqa: E402

ROWS = [1, 2, 4, 5, 8, 12, 16]
WIDTHS = [2944, 3000, 3008, 3072, 4096]
QUICK_ROWS, QUICK_WIDTHS = [1, 8], [3000, 3008]


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def taking_turns(calls, budget=1.5, min_runs=5, max_runs=200):
    """Per call: best wall time, median wall time, processor time per run."""
    for f in calls:
        f()
    walls = [[] for _ in calls]
    cpu = [0.0] * len(calls)
    start = time.perf_counter()
    while len(walls[0]) < min_runs or (time.perf_counter() - start < budget
                                       and len(walls[0]) < max_runs):
        for i, f in enumerate(calls):
            c0, t0 = cpu_seconds(), time.perf_counter()
            f()
            walls[i].append(time.perf_counter() - t0)
            cpu[i] += cpu_seconds() - c0
    return [(min(w), statistics.median(w), c / len(w)) for w, c in zip(walls, cpu)]


def products(np, KestrixMatrix, rows, widths, k, read_gbs):
    rng = np.random.default_rng(3)
    out = []
    for n in widths:
        kk = n if n == 4096 else k
        b = rng.uniform(-1, 1, (kk, n)).astype(np.float32)
        kb = KestrixMatrix(b.ravel().tolist(), kk, n)
        for m in rows:
            a = rng.uniform(-1, 1, (m, kk)).astype(np.float32)
            ka = KestrixMatrix(a.ravel().tolist(), m, kk)
            (np_best, np_med, np_cpu), (k_best, k_med, k_cpu) = taking_turns(
                [lambda: a @ b, lambda: ka.matmul(kb)])
            gbs = kk * n * 4 / k_best / 1e9
            out.append({"what": f"{m}×{kk} · {kk}×{n}", "np": np_best, "k": k_best,
                        "np_med": np_med, "k_med": k_med, "ratio": np_best / k_best,
                        "gbs": gbs, "np_gbs": kk * n * 4 / np_best / 1e9,
                        "share": gbs / read_gbs if read_gbs else None,
                        "k_cpu": k_cpu, "np_cpu": np_cpu})
            print(f"  {out[-1]['what']}: ratio {out[-1]['ratio']:.2f}, {gbs:.1f} GB/s",
                  file=sys.stderr, flush=True)
    return out


def alternated(np, KestrixMatrix):
    """add/mul 1024², each call followed by numpy's same operation, and alone."""
    n = 1024
    x = np.random.default_rng(5).uniform(-1, 1, (n, n)).astype(np.float32)
    kx = KestrixMatrix(x.ravel().tolist(), n, n)
    out = []
    for name, np_op, k_op in [("add", lambda: x + 1.5, lambda: kx.add(1.5)),
                              ("mul", lambda: x * 1.5, lambda: kx.mul(1.5))]:
        (np_best, np_med, np_cpu), (k_best, k_med, k_cpu) = taking_turns([np_op, k_op])
        (alone_best, alone_med, alone_cpu), = taking_turns([k_op])
        out.append({"what": f"{name} 1024², alternated", "np": np_best, "k": k_best,
                    "np_med": np_med, "k_med": k_med, "ratio": np_best / k_best,
                    "ratio_med": np_med / k_med, "k_cpu": k_cpu, "np_cpu": np_cpu})
        out.append({"what": f"{name} 1024², alone", "np": None, "k": alone_best,
                    "np_med": None, "k_med": alone_med, "ratio": None, "k_cpu": alone_cpu,
                    "np_cpu": None})
    # A program that alternates two result sizes: each call's result buffer
    # must still be one that is already mapped.
    big = np.random.default_rng(6).uniform(-1, 1, (4096, 4096)).astype(np.float32)
    kbig = KestrixMatrix(big.ravel(), 4096, 4096)
    faults = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_minflt  # noqa: E731
    pair = lambda: (kx.add(1.5), kbig.add(1.5))  # noqa: E731
    for _ in range(3):
        pair()
    f0, times = faults(), []
    for _ in range(10):
        t0 = time.perf_counter()
        pair()
        times.append(time.perf_counter() - t0)
    per_pair = (faults() - f0) / 10
    out.append({"what": f"add 1024² then add 4096², a pair ({per_pair:.1f} page faults a pair)",
                "np": None, "k": min(times), "np_med": None, "k_med": statistics.median(times),
                "ratio": None, "k_cpu": None, "np_cpu": None})
    return out


def table(rows):
    out = ["| operation | kestrix best / median | numpy best / median | ratio | kestrix reads b "
           "| share of read-only sum | numpy reads b | processor time per call, kestrix / numpy |",
           "|---|---|---|---|---|---|---|---|"]
    us = lambda t: f"{t * 1e6:.0f} µs" if t is not None else ""  # noqa: E731
    for r in rows:
        ratio = f"{r['ratio']:.2f}" if r["ratio"] else ""
        if r.get("ratio_med"):
            ratio += f" (median {r['ratio_med']:.2f})"
        gbs = f"{r['gbs']:.1f} GB/s" if "gbs" in r else ""
        share = f"{r['share']:.0%}" if r.get("share") else ""
        npg = f"{r['np_gbs']:.1f} GB/s" if "np_gbs" in r else ""
        out.append(f"| {r['what']} | {us(r['k'])} / {us(r['k_med'])} | "
                   f"{us(r['np'])} / {us(r['np_med'])} | {ratio} | {gbs} | {share} | {npg} | "
                   f"{us(r['k_cpu'])} / {us(r['np_cpu'])} |")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--quick", action="store_true", help="a few shapes, for a smoke run")
    args = parser.parse_args()
    head_of_run = record.header("few_rows_vs_numpy", args.build)
    np, KestrixMatrix, _ = numpy_beside_kestrix(args.build)
    read = google_benchmark(args.build, "machine_bench",
                            f"ReadBandwidth.*threads:{os.cpu_count()}$", "GBps")
    read_gbs = next(iter(read.values()), None)
    rows = products(np, KestrixMatrix, QUICK_ROWS if args.quick else ROWS,
                    QUICK_WIDTHS if args.quick else WIDTHS, 3000, read_gbs)
    rows += alternated(np, KestrixMatrix)
    info = machine()
    load = os.getloadavg()[0]
    head = (f"{info['cpu']}, {info['cores']} cores, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} "
            f"UTC, load average {load:.1f}; numpy {np.__version__}; read-only sum "
            + (f"{read_gbs:.1f} GB/s" if read_gbs else "not measured"))
    text = head + "\n\n" + table(rows) + "\n"
    print(text)
    record.write(head_of_run, text, {"read_gbs": read_gbs, "rows": rows})


if __name__ == "__main__":
    main()
